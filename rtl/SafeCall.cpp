#include "rtl/SafeCall.h"

namespace rtl {
namespace {
thread_local std::optional<std::string> pendingMessage;
}

void SetSafeCallExceptionMsg(std::string message) { pendingMessage = std::move(message); }

std::optional<std::string> TakeSafeCallExceptionMsg() {
  std::optional<std::string> m = std::move(pendingMessage);
  pendingMessage.reset();
  return m;
}

}  // namespace rtl
