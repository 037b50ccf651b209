// Conversions between wide (UTF-16) and narrow text.
#pragma once

#include <string>
#include <string_view>

#include "rtl/Types.h"

namespace rtl {

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD.
std::string Utf8Encode(WideStringView s);
// The same, appended to out.
void AppendUtf8(std::string& out, WideStringView s);
// UTF-8 to UTF-16. Malformed sequences become U+FFFD.
WideString Utf8Decode(std::string_view s);

// Wide to narrow text in the character set of the current locale (LC_CTYPE).
// Where the locale is the plain C/POSIX one, narrow text is UTF-8.
// Characters the character set cannot hold become '?'.
std::string WideToNarrow(WideStringView s);
// The same, appended to out.
void AppendNarrow(std::string& out, WideStringView s);
// Narrow text in the locale's character set to wide text.
WideString NarrowToWide(std::string_view s);

// ASCII-only conversion helpers for literals and identifiers.
WideString AsciiToWide(std::string_view s);

// Re-reads the locale's character set (after setlocale).
void ResetLocaleCache();

}  // namespace rtl
