#include "rtl/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "rtl/SafeCall.h"
#include "rtl/rtlconst.h"

namespace rtl {
namespace {

constexpr int32_t kCopyChunk = 64 * 1024;

std::string SystemErrorText(int err) { return std::strerror(err); }

int64_t NewPosition(int64_t offset, StreamOrigin origin, int64_t current, int64_t size) {
  int64_t base = 0;
  switch (origin) {
    case soBeginning: base = 0; break;
    case soCurrent: base = current; break;
    case soEnd: base = size; break;
    default: throw EStreamError(Format(msg::kBadSeekOrigin, {int32_t(origin)}));
  }
  if ((offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) || base + offset < 0)
    throw EStreamError(Format(msg::kSeekError, {offset}));
  return base + offset;
}

// Runs an adapter operation; any exception becomes E_FAIL_ plus the pending
// failure message for the caller's status check.
template <class F>
HResult Guarded(F&& f) noexcept {
  try {
    f();
    return S_OK_;
  } catch (const Exception& e) {
    SetSafeCallExceptionMsg(e.Message());
  } catch (const std::exception& e) {
    SetSafeCallExceptionMsg(e.what());
  } catch (...) {
    SetSafeCallExceptionMsg(msg::kUnknownException);
  }
  return E_FAIL_;
}

HResult NoStream() {
  SetSafeCallExceptionMsg(msg::kNoStream);
  return E_POINTER_;
}

}  // namespace

// ---- TStream

int64_t TStream::GetSize() {
  const int64_t position = Seek(0, soCurrent);
  const int64_t size = Seek(0, soEnd);
  Seek(position, soBeginning);
  return size;
}

void TStream::SetSize(int64_t) { throw EStreamError(msg::kSizeNotSupported); }

void TStream::ReadBuffer(void* buffer, int32_t count) {
  auto* p = static_cast<char*>(buffer);
  int32_t done = 0;
  // Some streams (files, pipes) may hand out less than asked before the end.
  while (done < count) {
    int32_t n = Read(p + done, count - done);
    if (n <= 0) throw EReadError(msg::kReadError);
    done += n;
  }
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
  auto* p = static_cast<const char*>(buffer);
  int32_t done = 0;
  while (done < count) {
    int32_t n = Write(p + done, count - done);
    if (n <= 0) throw EWriteError(msg::kWriteError);
    done += n;
  }
}

int64_t TStream::CopyFrom(TStream* src, int64_t count) {
  if (!src) throw EStreamError(msg::kNoStream);
  if (count == 0) {
    src->SetPosition(0);
    count = src->GetSize();
  }
  if (count < 0) return 0;
  std::string buffer(static_cast<size_t>(std::min<int64_t>(count, kCopyChunk)), '\0');
  int64_t left = count;
  while (left > 0) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(left, kCopyChunk));
    src->ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return count;
}

// ---- TMemoryStream

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
  const int64_t size = GetSize();
  if (count <= 0 || position_ >= size) return 0;
  const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, size - position_));
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  if (position_ > std::numeric_limits<int64_t>::max() - count)
    throw EWriteError(Format(msg::kSizeError, {position_}));
  const int64_t end = position_ + count;
  if (end > GetSize()) SetSize(end);
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, StreamOrigin origin) {
  position_ = NewPosition(offset, origin, position_, GetSize());
  return position_;
}

void TMemoryStream::SetSize(int64_t size) {
  if (size < 0 || static_cast<uint64_t>(size) > data_.max_size())
    throw EStreamError(Format(msg::kSizeError, {size}));
  data_.resize(static_cast<size_t>(size), '\0');
  position_ = std::min(position_, size);
}

void TMemoryStream::Clear() {
  data_.clear();
  position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& stream) {
  stream.SetPosition(0);
  const int64_t size = stream.GetSize();
  std::string bytes;
  if (size < 0 || static_cast<uint64_t>(size) > bytes.max_size())
    throw EStreamError(Format(msg::kSizeError, {size}));
  bytes.resize(static_cast<size_t>(size));
  // Read in chunks: ReadBuffer counts in 32 bits.
  for (int64_t done = 0; done < size;) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(size - done, kCopyChunk));
    stream.ReadBuffer(bytes.data() + done, n);
    done += n;
  }
  data_ = std::move(bytes);
  position_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
  TFileStream file(fileName, fmOpenRead);
  LoadFromStream(file);
}

void TMemoryStream::SaveToStream(TStream& stream) const {
  const int64_t size = static_cast<int64_t>(data_.size());
  for (int64_t done = 0; done < size;) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(size - done, kCopyChunk));
    stream.WriteBuffer(data_.data() + done, n);
    done += n;
  }
}

void TMemoryStream::SaveToFile(const std::string& fileName) const {
  TFileStream file(fileName, fmCreate);
  SaveToStream(file);
}

// ---- TStringStream

TStringStream::TStringStream(std::string initial) { data_ = std::move(initial); }

// ---- TFileStream

TFileStream::TFileStream(const std::string& fileName, FileMode mode) : fileName_(fileName) {
  if (mode == fmCreate) {
    fd_ = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) throw EFCreateError(Format(msg::kFCreateError, {fileName, SystemErrorText(errno)}));
    return;
  }
  int flags = O_CLOEXEC;
  switch (mode) {
    case fmOpenWrite: flags |= O_WRONLY; break;
    case fmOpenReadWrite: flags |= O_RDWR; break;
    default: flags |= O_RDONLY; break;
  }
  fd_ = ::open(fileName.c_str(), flags);
  if (fd_ < 0) throw EFOpenError(Format(msg::kFOpenError, {fileName, SystemErrorText(errno)}));
  // A directory opens read-only without complaint but cannot be read as a
  // stream; refuse it here with the reason the system would give later.
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    throw EFOpenError(Format(msg::kFOpenError, {fileName, SystemErrorText(EISDIR)}));
  }
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int32_t TFileStream::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  for (;;) {
    ssize_t n = ::read(fd_, buffer, static_cast<size_t>(count));
    if (n >= 0) return static_cast<int32_t>(n);
    if (errno != EINTR) throw EReadError(Format(msg::kFileReadError, {fileName_, SystemErrorText(errno)}));
  }
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  for (;;) {
    ssize_t n = ::write(fd_, buffer, static_cast<size_t>(count));
    if (n >= 0) return static_cast<int32_t>(n);
    if (errno != EINTR) throw EWriteError(Format(msg::kFileWriteError, {fileName_, SystemErrorText(errno)}));
  }
}

int64_t TFileStream::Seek(int64_t offset, StreamOrigin origin) {
  int whence = SEEK_SET;
  switch (origin) {
    case soBeginning: whence = SEEK_SET; break;
    case soCurrent: whence = SEEK_CUR; break;
    case soEnd: whence = SEEK_END; break;
    default: throw EStreamError(Format(msg::kBadSeekOrigin, {int32_t(origin)}));
  }
  static_assert(sizeof(off_t) == 8, "file streams need 64-bit file offsets");
  off_t pos = ::lseek(fd_, static_cast<off_t>(offset), whence);
  if (pos < 0) {
    if (errno == EINVAL) throw EStreamError(Format(msg::kSeekError, {offset}));
    throw EStreamError(Format(msg::kFileSeekError, {fileName_, SystemErrorText(errno)}));
  }
  return static_cast<int64_t>(pos);
}

void TFileStream::SetSize(int64_t size) {
  if (size < 0) throw EStreamError(Format(msg::kSizeError, {size}));
  const int64_t position = GetPosition();
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
    throw EWriteError(Format(msg::kFileWriteError, {fileName_, SystemErrorText(errno)}));
  if (position > size) SetPosition(size);
}

// ---- TStreamAdapter

HResult TStreamAdapter::Read(void* buffer, int32_t count, int32_t* read) {
  if (read) *read = 0;
  if (!stream_) return NoStream();
  if (!buffer && count > 0) return E_POINTER_;
  return Guarded([&] {
    int32_t n = stream_->Read(buffer, count);
    if (read) *read = n;
  });
}

HResult TStreamAdapter::Write(const void* buffer, int32_t count, int32_t* written) {
  if (written) *written = 0;
  if (!stream_) return NoStream();
  if (!buffer && count > 0) return E_POINTER_;
  return Guarded([&] {
    int32_t n = stream_->Write(buffer, count);
    if (written) *written = n;
  });
}

HResult TStreamAdapter::Seek(int64_t offset, int32_t origin, int64_t* newPosition) {
  if (!stream_) return NoStream();
  return Guarded([&] {
    if (origin < soBeginning || origin > soEnd)
      throw EStreamError(Format(msg::kBadSeekOrigin, {origin}));
    int64_t pos = stream_->Seek(offset, static_cast<StreamOrigin>(origin));
    if (newPosition) *newPosition = pos;
  });
}

HResult TStreamAdapter::GetSize(int64_t* size) {
  if (!size) return E_POINTER_;
  *size = 0;
  if (!stream_) return NoStream();
  return Guarded([&] { *size = stream_->GetSize(); });
}

}  // namespace rtl
