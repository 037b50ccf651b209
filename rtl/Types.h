// Basic value types shared by every layer: wide (UTF-16) and narrow text,
// 16-bit booleans and interface-call statuses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rtl {

using WideChar = char16_t;
// Length-counted UTF-16 text; all names, values and XML text of the DOM and
// document layers.
using WideString = std::u16string;
using WideStringView = std::u16string_view;
// 8-bit text in the locale's character set: file names and messages.
using AnsiString = std::string;

// Boolean as it crosses the DOM interfaces: 16 bits wide, true is -1.
using WordBool = int16_t;
inline constexpr WordBool kWordTrue = -1;
inline constexpr WordBool kWordFalse = 0;
inline constexpr WordBool ToWordBool(bool b) { return b ? kWordTrue : kWordFalse; }
inline constexpr bool FromWordBool(WordBool w) { return w != 0; }

// Status of an interface call. Negative values are failures.
using HResult = int32_t;
inline constexpr HResult S_OK_ = 0;
inline constexpr HResult S_FALSE_ = 1;
inline constexpr HResult E_NOINTERFACE_ = static_cast<HResult>(0x80004002u);
inline constexpr HResult E_POINTER_ = static_cast<HResult>(0x80004003u);
inline constexpr HResult E_FAIL_ = static_cast<HResult>(0x80004005u);
inline constexpr HResult E_NOTIMPL_ = static_cast<HResult>(0x80004001u);
inline constexpr bool Succeeded(HResult hr) { return hr >= 0; }
inline constexpr bool Failed(HResult hr) { return hr < 0; }

}  // namespace rtl
