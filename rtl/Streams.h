// Byte streams: the abstract stream, in-memory and string streams, file
// streams, and the adapter that lends a stream to code that only knows the
// counted IStream interface.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/Exception.h"
#include "rtl/Interface.h"
#include "rtl/Object.h"
#include "rtl/StreamIntf.h"

namespace rtl {

// A stream operation failed.
class EStreamError : public EInOutError {
 public:
  using EInOutError::EInOutError;
};
// Fewer bytes could be read than asked for, a read failed, or a form
// description could not be read.
class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
// Fewer bytes could be written than asked for, or a write failed.
class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
// A file could not be opened; the message names the file and the reason.
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
// A file could not be created; the message names the file and the reason.
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class TStream : public TObject {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Reads up to count bytes at the position and advances it; returns the
  // number read, 0 at the end (and for count <= 0).
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  // Writes count bytes at the position and advances it; returns the number
  // written (0 for count <= 0).
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  // Moves the position and returns it. Raises EStreamError when the new
  // position would be negative.
  virtual int64_t Seek(int64_t offset, StreamOrigin origin) = 0;

  int64_t GetPosition() { return Seek(0, soCurrent); }
  void SetPosition(int64_t position) { Seek(position, soBeginning); }
  // The size in bytes; the position is left where it was.
  virtual int64_t GetSize();
  // Grows (zero-filled) or cuts the stream. The base class cannot and raises
  // EStreamError.
  virtual void SetSize(int64_t size);

  // Reads exactly count bytes or raises EReadError.
  void ReadBuffer(void* buffer, int32_t count);
  // Writes exactly count bytes or raises EWriteError.
  void WriteBuffer(const void* buffer, int32_t count);
  // Copies count bytes from src's position; count 0 copies all of src from
  // its beginning. Returns the number of bytes copied; raises EReadError when
  // src ends early.
  int64_t CopyFrom(TStream* src, int64_t count);
};

// A stream over a growable block of memory. Writing past the end grows it;
// seeking past the end is allowed and a later write fills the gap with zeros.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;

  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, StreamOrigin origin) override;
  int64_t GetSize() override { return static_cast<int64_t>(data_.size()); }
  // Cuts or zero-extends the memory; a position beyond the new end moves to it.
  void SetSize(int64_t size) override;

  // The stream's bytes (GetSize() of them); valid until the next change of
  // size. Never null.
  char* Memory() { return data_.data(); }
  const char* Memory() const { return data_.data(); }
  // Empties the stream and moves the position to 0.
  void Clear();
  // Replaces the content with all of stream (read from its beginning);
  // position 0 afterwards.
  void LoadFromStream(TStream& stream);
  void LoadFromFile(const std::string& fileName);
  // Writes the whole content to stream at its position.
  void SaveToStream(TStream& stream) const;
  void SaveToFile(const std::string& fileName) const;

 protected:
  std::string data_;
  int64_t position_ = 0;
};

// A memory stream over narrow bytes that can be read back as one string.
class TStringStream : public TMemoryStream {
 public:
  // Starts with initial as content, position 0.
  explicit TStringStream(std::string initial = {});
  // All bytes of the stream, whatever the position.
  const std::string& DataString() const { return data_; }
};

enum FileMode : uint16_t {
  fmOpenRead = 0,       // existing file, reading only
  fmOpenWrite = 1,      // existing file, writing only
  fmOpenReadWrite = 2,  // existing file, reading and writing
  fmCreate = 0xFF00,    // new or truncated file, reading and writing
};

// A stream over an open file (64-bit positions and sizes). Construction
// raises EFOpenError / EFCreateError naming the file and the system's reason;
// failed reads and writes raise EReadError / EWriteError likewise.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& fileName, FileMode mode);
  ~TFileStream() override;

  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, StreamOrigin origin) override;
  void SetSize(int64_t size) override;

  const std::string& FileName() const { return fileName_; }

 private:
  std::string fileName_;
  int fd_ = -1;
};

// Presents a TStream as a counted IStream. It does not own the stream, which
// must outlive every reference to the adapter. No exception leaves its
// methods: a failure returns E_FAIL_ (E_POINTER_ for a null buffer or
// stream) after setting the pending failure message (SetSafeCallExceptionMsg).
class TStreamAdapter : public TInterfacedObject<IStream> {
 public:
  explicit TStreamAdapter(TStream* stream) : stream_(stream) {}

  HResult Read(void* buffer, int32_t count, int32_t* read) override;
  HResult Write(const void* buffer, int32_t count, int32_t* written) override;
  HResult Seek(int64_t offset, int32_t origin, int64_t* newPosition) override;
  HResult GetSize(int64_t* size) override;

  TStream* Stream() const { return stream_; }

 private:
  TStream* stream_;
};

}  // namespace rtl
