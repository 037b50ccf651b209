// OLE-compatible variant: Null, a wide string, a 32-bit integer or a boolean.
// Node and attribute values travel in it; Null means absent or empty.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "rtl/Types.h"

namespace rtl {

enum class VarType : uint8_t { Null, String, Integer, Boolean };

class OleVariant {
 public:
  // Null.
  OleVariant() = default;
  OleVariant(const WideString& s) : v_(s) {}
  OleVariant(WideString&& s) : v_(std::move(s)) {}
  OleVariant(WideStringView s) : v_(WideString(s)) {}
  OleVariant(const WideChar* s) : v_(WideString(s)) {}
  OleVariant(int32_t i) : v_(i) {}
  OleVariant(bool b) : v_(b) {}

  static OleVariant Null() { return OleVariant(); }

  VarType Type() const { return static_cast<VarType>(v_.index()); }
  bool IsNull() const { return v_.index() == 0; }
  bool IsString() const { return v_.index() == 1; }
  // True for integers and booleans (values usable as a position).
  bool IsOrdinal() const { return v_.index() == 2 || v_.index() == 3; }

  // The text of the value: Null gives "", integers their decimal text,
  // booleans "True"/"False".
  WideString ToWideString() const {
    switch (v_.index()) {
      case 1: return std::get<1>(v_);
      case 2: {
        std::string s = std::to_string(std::get<2>(v_));
        return WideString(s.begin(), s.end());
      }
      case 3: return std::get<3>(v_) ? u"True" : u"False";
      default: return WideString();
    }
  }
  // The stored string, or null when the value is not a string.
  const WideString* AsString() const { return std::get_if<1>(&v_); }
  // Integer value: integers as they are, booleans -1/0, Null 0, strings
  // parsed as decimal; returns false for a string that is not a number.
  bool TryToInteger(int32_t& out) const {
    switch (v_.index()) {
      case 0: out = 0; return true;
      case 2: out = std::get<2>(v_); return true;
      case 3: out = std::get<3>(v_) ? -1 : 0; return true;
      default: {
        const WideString& s = std::get<1>(v_);
        if (s.empty()) return false;
        size_t i = 0;
        bool neg = false;
        if (s[0] == u'-' || s[0] == u'+') { neg = s[0] == u'-'; i = 1; }
        if (i == s.size()) return false;
        int64_t v = 0;
        for (; i < s.size(); ++i) {
          if (s[i] < u'0' || s[i] > u'9') return false;
          v = v * 10 + (s[i] - u'0');
          if (v > INT32_MAX + int64_t(1)) return false;
        }
        if (neg) v = -v;
        if (v < INT32_MIN || v > INT32_MAX) return false;
        out = static_cast<int32_t>(v);
        return true;
      }
    }
  }

  friend bool operator==(const OleVariant& a, const OleVariant& b) { return a.v_ == b.v_; }

 private:
  std::variant<std::monostate, WideString, int32_t, bool> v_;
};

}  // namespace rtl
