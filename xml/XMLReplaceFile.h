// How a save replaces a file: the new content goes into a file of its own
// that is put in the target's place only when complete, so a failing or
// interrupted save never leaves a truncated document, and a crash leaves
// no half-written file behind.
#pragma once

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
  // Makes the written content durable, then puts it in the target's place.
  void Commit();

 private:
  [[noreturn]] void Fail(const char* fmt, int error);
  void OpenUnnamed();
  void OpenNamed();
  void KeepOwnerAndMode();

  std::string target_;
  std::string folder_;
  std::string name_;
  int fd_ = -1;
  bool unnamed_ = false;  // name_ is /proc/self/fd/N of a file with no name yet
  bool exists_ = false;
  unsigned ownerUid_ = 0, ownerGid_ = 0, mode_ = 0;
};
