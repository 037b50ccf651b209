// Root class of the runtime's class hierarchy (components, streams) and the
// event types that carry an object as their sender.
#pragma once

#include <cstdint>
#include <functional>

namespace rtl {

class TObject {
 public:
  virtual ~TObject() = default;
};

// Plain event with the sender.
using TNotifyEvent = std::function<void(TObject* sender)>;

}  // namespace rtl
