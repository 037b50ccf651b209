#include "xml/XMLReplaceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

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

// A short name beside the target that nothing else uses: the target's own
// name may already be as long as a name can be.
std::string SpareName(const std::string& folder) {
  static std::mt19937 random(std::random_device{}());
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = folder + "/.xmlsave-";
  for (int i = 0; i < 8; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
  return name;
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
  } else if (errno != ENOENT) {
    Fail(XMLConst::SCreateFileFailed, errno);
  }
  OpenUnnamed();
  if (fd_ < 0) OpenNamed();
  KeepOwnerAndMode();
}

TReplacementFile::~TReplacementFile() {
  if (fd_ >= 0) close(fd_);
  if (!unnamed_ && !name_.empty()) unlink(name_.c_str());
}

// A file without a name in the target's folder: killed half-way, the save
// leaves nothing behind. The serializer opens it again by its /proc name.
void TReplacementFile::OpenUnnamed() {
  mode_t mode = exists_ ? mode_ : 0666;
  int fd = open(folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (fd < 0) {
    // File systems (and kernels) without unnamed files take a named one.
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) return;
    Fail(XMLConst::SCreateFileFailed, errno);
  }
  std::string name = "/proc/self/fd/" + std::to_string(fd);
  if (access(name.c_str(), W_OK) != 0) {
    close(fd);
    return;
  }
  fd_ = fd;
  name_ = std::move(name);
  unnamed_ = true;
}

void TReplacementFile::OpenNamed() {
  std::string pattern = folder_ + "/.xmlsave-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  int fd = mkstemp(buf.data());
  if (fd < 0) Fail(XMLConst::SCreateFileFailed, errno);
  fd_ = fd;
  name_ = buf.data();
  if (!exists_) {
    mode_t mask = umask(0);
    umask(mask);
    (void)fchmod(fd_, 0666 & ~mask);
  }
}

// The replacement keeps the old file's owner, group and mode as far as the
// process may set them (only root may give a file away).
void TReplacementFile::KeepOwnerAndMode() {
  if (!exists_) return;
  if (fchown(fd_, ownerUid_, ownerGid_) != 0) (void)fchown(fd_, static_cast<uid_t>(-1), ownerGid_);
  (void)fchmod(fd_, mode_);
}

void TReplacementFile::Commit() {
  if (fsync(fd_) != 0) Fail(XMLConst::SReplaceFileFailed, errno);
  if (!unnamed_) {
    if (rename(name_.c_str(), target_.c_str()) != 0) Fail(XMLConst::SReplaceFileFailed, errno);
    name_.clear();
  } else if (exists_ || linkat(AT_FDCWD, name_.c_str(), AT_FDCWD, target_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    if (!exists_ && errno != EEXIST) Fail(XMLConst::SReplaceFileFailed, errno);
    // A name cannot be given over an existing one: link under a spare
    // name and rename that over the target (a kill between the two calls
    // would leave the spare name).
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
  int folder = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    (void)fsync(folder);
    close(folder);
  }
}

void TReplacementFile::Fail(const char* fmt, int error) { RaiseDocErrorFmt(fmt, {target_, std::strerror(error)}); }
