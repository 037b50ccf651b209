#include "xml/XMLReplaceFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "dom/xmldom.h"
#include "xml/XMLConst.h"
#include "xml/XMLDoc.h"

namespace {

// The file a save really replaces: symbolic links are followed, so that
// the link stays a link and the file it names gets the new content. Fails
// with ELOOP for a loop.
bool FollowLinks(std::string& path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n = readlink(path.c_str(), buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return true;
    std::string link(buf.data(), static_cast<size_t>(n));
    if (link[0] != '/') {
      size_t slash = path.rfind('/');
      if (slash != std::string::npos) link = path.substr(0, slash + 1) + link;
    }
    path = std::move(link);
  }
  errno = ELOOP;
  return false;
}

constexpr char kSparePrefix[] = ".xmlsave-";

// A short name beside the target that nothing else uses: the target's own
// name may already be as long as a name can be. It carries the process id,
// so that a name left by a process killed while it used it can be told from
// one in use (see RemoveStaleSpares).
std::string SpareName(const std::string& folder) {
  static std::mt19937 random(std::random_device{}());
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = folder + "/" + kSparePrefix + std::to_string(getpid()) + "-";
  for (int i = 0; i < 8; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
  return name;
}

// Spare names whose process is gone: a process killed between giving its
// file the spare name and renaming it over the target leaves that name (a
// whole new file, never the only copy of anything). The next save in the
// folder takes them away. A process in another process id namespace that
// shares the folder may look gone; its save then fails with a message and
// leaves its target as it was.
void RemoveStaleSpares(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  const size_t prefix = sizeof kSparePrefix - 1;
  while (const dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strncmp(name, kSparePrefix, prefix) != 0) continue;
    char* end = nullptr;
    long pid = std::strtol(name + prefix, &end, 10);
    if (end == name + prefix || *end != '-' || std::strlen(end + 1) != 8 || pid <= 0) continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    (void)unlinkat(dirfd(dir), name, 0);
  }
  closedir(dir);
}

void SyncFolder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    (void)fsync(fd);
    close(fd);
  }
}

struct FileCloser {
  int fd;
  ~FileCloser() { close(fd); }
};

// Copies size bytes from the start of one file over the start of another;
// 0 or the error.
int CopyBytes(int from, int to, off_t size) {
  std::vector<char> buf(1 << 16);
  for (off_t at = 0; at < size;) {
    ssize_t n = pread(from, buf.data(), std::min<off_t>(size - at, static_cast<off_t>(buf.size())), at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = pwrite(to, buf.data() + done, static_cast<size_t>(n - done), at + done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return w < 0 ? errno : EIO;
      done += w;
    }
    at += n;
  }
  return 0;
}

}  // namespace

TReplacementFile::TReplacementFile(const std::string& target) : target_(target) {
  if (!FollowLinks(target_)) Fail(XMLConst::SReplaceFileFailed, errno);
  size_t slash = target_.rfind('/');
  folder_ = slash == std::string::npos ? "." : slash == 0 ? "/" : target_.substr(0, slash);
  struct stat st {};
  if (lstat(target_.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) RaiseDocErrorFmt(XMLConst::SNotARegularTarget, {target_});
    // Replacing needs only the folder; the file itself must be one the
    // user could have written.
    if (faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) Fail(XMLConst::SReplaceFileFailed, errno);
    exists_ = true;
    ownerUid_ = st.st_uid;
    ownerGid_ = st.st_gid;
    mode_ = st.st_mode & 07777;
    inPlace_ = st.st_nlink > 1;
  } else if (errno != ENOENT) {
    Fail(XMLConst::SCreateFileFailed, errno);
  }
  if (!inPlace_) {
    int error = OpenUnnamed();
    if (!error && fd_ < 0) error = OpenNamed(folder_);
    // A folder the user cannot write takes no new file, but a file the
    // user can write there can still be rewritten.
    if (error && (!exists_ || (error != EACCES && error != EPERM))) Fail(XMLConst::SCreateFileFailed, error);
    inPlace_ = error != 0;
  }
  if (inPlace_)
    OpenCopy();
  else
    KeepOwnerAndMode();
}

TReplacementFile::~TReplacementFile() {
  if (fd_ >= 0) close(fd_);
  if (!unnamed_ && !name_.empty() && !keep_) unlink(name_.c_str());
}

// A file without a name in the target's folder: killed half-way, the save
// leaves nothing behind. The serializer opens it again by its /proc name.
// File systems (and kernels) without unnamed files leave fd_ closed, for a
// named one.
int TReplacementFile::OpenUnnamed() {
  mode_t mode = exists_ ? mode_ : 0666;
  int fd = open(folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (fd < 0) return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? 0 : errno;
  std::string name = "/proc/self/fd/" + std::to_string(fd);
  if (access(name.c_str(), W_OK) != 0) {
    close(fd);
    return 0;
  }
  fd_ = fd;
  name_ = std::move(name);
  unnamed_ = true;
  return 0;
}

int TReplacementFile::OpenNamed(const std::string& folder) {
  std::string pattern = folder + "/.xmlsave-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  int fd = mkstemp(buf.data());
  if (fd < 0) return errno;
  fd_ = fd;
  name_ = buf.data();
  if (!exists_) {
    mode_t mask = umask(0);
    umask(mask);
    (void)fchmod(fd_, 0666 & ~mask);
  }
  return 0;
}

// The copy a rewrite in place starts from, readable by the user alone:
// beside the target where the folder takes it, else in the temporary folder.
void TReplacementFile::OpenCopy() {
  int error = OpenNamed(folder_);
  if (error == EACCES || error == EPERM || error == EROFS) {
    const char* temp = std::getenv("TMPDIR");
    error = OpenNamed(temp && *temp ? temp : "/tmp");
  }
  if (error) Fail(XMLConst::SCreateCopyFailed, error);
}

// The replacement keeps the old file's owner, group and mode as far as the
// process may set them (only root may give a file away).
void TReplacementFile::KeepOwnerAndMode() {
  if (!exists_) return;
  if (fchown(fd_, ownerUid_, ownerGid_) != 0) (void)fchown(fd_, static_cast<uid_t>(-1), ownerGid_);
  (void)fchmod(fd_, mode_);
}

void TReplacementFile::Write(const std::function<void(const std::string& name)>& write) {
  try {
    write(name_);
  } catch (const DOMException& e) {
    std::string message = e.what();
    size_t at = message.find(name_);
    if (at == std::string::npos) throw;
    message.replace(at, name_.size(), target_);
    DOMException renamed(std::move(message));
    renamed.Code = e.Code;
    throw renamed;
  }
}

void TReplacementFile::Commit() {
  if (fsync(fd_) != 0) Fail(XMLConst::SReplaceFileFailed, errno);
  if (inPlace_)
    Rewrite();
  else
    Replace();
}

void TReplacementFile::Replace() {
  if (!unnamed_) {
    if (rename(name_.c_str(), target_.c_str()) != 0) Fail(XMLConst::SReplaceFileFailed, errno);
    name_.clear();
  } else if (exists_ || linkat(AT_FDCWD, name_.c_str(), AT_FDCWD, target_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    if (!exists_ && errno != EEXIST) Fail(XMLConst::SReplaceFileFailed, errno);
    // A name cannot be given over an existing one: link under a spare
    // name and rename that over the target (a kill between the two calls
    // would leave the spare name, which the next save here takes away).
    RemoveStaleSpares(folder_);
    std::string spare;
    int rc = -1;
    for (int tries = 0; tries < 16; ++tries) {
      spare = SpareName(folder_);
      rc = linkat(AT_FDCWD, name_.c_str(), AT_FDCWD, spare.c_str(), AT_SYMLINK_FOLLOW);
      if (rc == 0 || errno != EEXIST) break;
    }
    if (rc != 0) Fail(XMLConst::SReplaceFileFailed, errno);
    if (rename(spare.c_str(), target_.c_str()) != 0) {
      int error = errno;
      unlink(spare.c_str());
      Fail(XMLConst::SReplaceFileFailed, error);
    }
  }
  SyncFolder(folder_);
}

// The copy is whole and durable. The target gets its bytes over its own,
// is cut to their length and made durable; only then does the copy go.
void TReplacementFile::Rewrite() {
  struct stat copy {}, old {};
  if (fstat(fd_, &copy) != 0) Fail(XMLConst::SReplaceFileFailed, errno);
  int out = open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (out < 0) Fail(XMLConst::SReplaceFileFailed, errno);
  FileCloser closer{out};
  if (fstat(out, &old) != 0 || !S_ISREG(old.st_mode)) RaiseDocErrorFmt(XMLConst::SNotARegularTarget, {target_});
  // The space first, so that a full disk fails the save before the file
  // changes (where the file system cannot say, the writes will).
  if (copy.st_size > old.st_size && fallocate(out, FALLOC_FL_KEEP_SIZE, 0, copy.st_size) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS)
    Fail(XMLConst::SReplaceFileFailed, errno);
  keep_ = true;
  int error = CopyBytes(fd_, out, copy.st_size);
  if (!error && ftruncate(out, copy.st_size) != 0) error = errno;
  if (!error && fsync(out) != 0) error = errno;
  if (error) RaiseDocErrorFmt(XMLConst::SRewriteFailed, {target_, std::strerror(error), name_});
  keep_ = false;
}

void TReplacementFile::Fail(const char* fmt, int error) { RaiseDocErrorFmt(fmt, {target_, std::strerror(error)}); }
