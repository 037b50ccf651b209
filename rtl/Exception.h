// The runtime's exception base and its few descendants, plus Format.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

#include "rtl/Types.h"

namespace rtl {

// Base of every exception the layers raise: a narrow message and a help
// context (0 when none).
class Exception : public std::exception {
 public:
  explicit Exception(std::string message, int32_t helpContext = 0)
      : message_(std::move(message)), helpContext_(helpContext) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string m) { message_ = std::move(m); }
  int32_t HelpContext() const noexcept { return helpContext_; }

 private:
  std::string message_;
  int32_t helpContext_;
};

// An input/output operation failed (stream, file, standard output).
class EInOutError : public Exception {
 public:
  using Exception::Exception;
};
// An interface reference does not support the interface asked for.
class EIntfCastError : public Exception {
 public:
  using Exception::Exception;
};
// A list index is out of range.
class EListError : public Exception {
 public:
  using Exception::Exception;
};
// A value cannot be converted (for example a variant to an integer).
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// One argument of Format: narrow text or an integer.
class FormatArg {
 public:
  FormatArg(std::string_view s) : v_(std::string(s)) {}
  FormatArg(const std::string& s) : v_(s) {}
  FormatArg(const char* s) : v_(std::string(s ? s : "")) {}
  FormatArg(int32_t i) : v_(int64_t(i)) {}
  FormatArg(int64_t i) : v_(i) {}
  FormatArg(uint32_t i) : v_(int64_t(i)) {}
  FormatArg(long long i) : v_(int64_t(i)) {}
  FormatArg(unsigned long i) : v_(int64_t(i)) {}
  FormatArg(unsigned long long i) : v_(int64_t(i)) {}
  bool IsText() const { return v_.index() == 0; }
  const std::string& Text() const { return std::get<0>(v_); }
  int64_t Int() const { return std::get<1>(v_); }

 private:
  std::variant<std::string, int64_t> v_;
};

// Fills "%s" and "%d" placeholders with the arguments in order ("%%" is a
// percent sign). "%s" takes text or an integer's decimal text; "%d" takes an
// integer (text is inserted as it is). Missing arguments leave the
// placeholder empty; surplus arguments are ignored.
std::string Format(std::string_view fmt, std::initializer_list<FormatArg> args);

}  // namespace rtl
