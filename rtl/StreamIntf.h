// The stream interface: a program stream presented as a reference-counted
// interface (see TStreamAdapter), so that code on the far side of a library
// boundary can read and write it without knowing the stream class.
#pragma once

#include <cstdint>

#include "rtl/Interface.h"

namespace rtl {

enum StreamOrigin : int32_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

struct IStream : IInterface {
  static constexpr GUID IID = {0x0000000C, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using Base = IInterface;
  // Reads up to count bytes; *read (may be null) receives how many. S_OK
  // also at the end of the stream (then *read is 0).
  virtual HResult Read(void* buffer, int32_t count, int32_t* read) = 0;
  // Writes count bytes; *written (may be null) receives how many.
  virtual HResult Write(const void* buffer, int32_t count, int32_t* written) = 0;
  // Moves the position; *newPosition (may be null) receives it.
  virtual HResult Seek(int64_t offset, int32_t origin, int64_t* newPosition) = 0;
  // The stream's size in bytes.
  virtual HResult GetSize(int64_t* size) = 0;
};

}  // namespace rtl
