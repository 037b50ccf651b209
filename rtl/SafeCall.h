// The pending failure message of interface calls: a callee sets it right
// before it returns a failure status, and the caller's status check takes it
// into the exception it raises.
#pragma once

#include <optional>
#include <string>

namespace rtl {

void SetSafeCallExceptionMsg(std::string message);
// Returns and clears the pending message; empty optional when none was set.
std::optional<std::string> TakeSafeCallExceptionMsg();

}  // namespace rtl
