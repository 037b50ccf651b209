// How a save replaces a file: the new content goes into a file of its own
// that is put in the target's place only when complete, so a failing or
// interrupted save never leaves a truncated document, and a crash leaves
// no half-written file behind.
//
// A file that has other names (hard links) would lose them to a new file,
// and one in a folder the user cannot write cannot get one: these are
// rewritten in place instead, from a complete copy written first (beside
// the file, or in the temporary folder). Until the rewrite starts the file
// is untouched; from then on the copy is kept until the file is whole again,
// so a failure or a crash always leaves one whole version of the document.
#pragma once

#include <functional>
#include <string>

class TReplacementFile {
 public:
  // Follows symbolic links to the file that is replaced (the link stays a
  // link) and refuses what a save must not replace: a link loop, a target
  // that is not a regular file (a named pipe, a device, a folder) and a
  // file the user could not write.
  explicit TReplacementFile(const std::string& target);
  ~TReplacementFile();
  TReplacementFile(const TReplacementFile&) = delete;
  TReplacementFile& operator=(const TReplacementFile&) = delete;

  // The name to write the new content to.
  const std::string& Name() const { return name_; }
  // Runs write(Name()); a failure it raises that names that file names the
  // target instead.
  void Write(const std::function<void(const std::string& name)>& write);
  // Makes the written content durable, then puts it in the target's place.
  void Commit();
  bool InPlace() const { return inPlace_; }

 private:
  [[noreturn]] void Fail(const char* fmt, int error);
  // 0 or the error.
  int OpenUnnamed();
  int OpenNamed(const std::string& folder);
  void OpenCopy();
  void KeepOwnerAndMode();
  void Replace();
  void Rewrite();

  std::string target_;
  std::string folder_;
  std::string name_;
  int fd_ = -1;
  bool unnamed_ = false;  // name_ is /proc/self/fd/N of a file with no name yet
  bool exists_ = false;
  bool inPlace_ = false;
  bool keep_ = false;  // the copy outlives a failed rewrite
  unsigned ownerUid_ = 0, ownerGid_ = 0, mode_ = 0;
};
