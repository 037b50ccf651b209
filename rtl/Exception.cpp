#include "rtl/Exception.h"

#include <cstdio>

#include "rtl/Interface.h"

namespace rtl {

std::string Format(std::string_view fmt, std::initializer_list<FormatArg> args) {
  std::string out;
  out.reserve(fmt.size() + 16);
  auto next = args.begin();
  for (size_t i = 0; i < fmt.size(); ++i) {
    char c = fmt[i];
    if (c != '%' || i + 1 >= fmt.size()) {
      out += c;
      continue;
    }
    char spec = fmt[i + 1];
    if (spec == '%') {
      out += '%';
      ++i;
    } else if (spec == 's' || spec == 'd') {
      ++i;
      if (next != args.end()) {
        out += next->IsText() ? next->Text() : std::to_string(next->Int());
        ++next;
      }
    } else {
      out += c;
    }
  }
  return out;
}

std::string GUIDToString(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.d1), g.d2, g.d3, g.d4[0], g.d4[1], g.d4[2], g.d4[3],
                g.d4[4], g.d4[5], g.d4[6], g.d4[7]);
  return buf;
}

void ThrowIntfCastError(const GUID& iid) {
  throw EIntfCastError("Interface not supported: " + GUIDToString(iid));
}

bool SameObject(IInterface* a, IInterface* b) {
  if (a == b) return true;
  if (!a || !b) return false;
  ComPtr<IInterface> ia, ib;
  a->QueryInterface(IInterface::IID, reinterpret_cast<void**>(ia.put()));
  b->QueryInterface(IInterface::IID, reinterpret_cast<void**>(ib.put()));
  return ia.get() == ib.get();
}

}  // namespace rtl
