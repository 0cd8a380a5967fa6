#include "platform/manual_reset_event.h"

#include <chrono>

namespace vxr {

ManualResetEvent::ManualResetEvent(bool initially_set) : signalled_(initially_set) {}

void ManualResetEvent::Set() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  changed_.notify_all();
}

void ManualResetEvent::Reset() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

bool ManualResetEvent::IsSet() const {
  std::lock_guard lock(mutex_);
  return signalled_;
}

bool ManualResetEvent::Wait(int timeout_ms) const {
  std::unique_lock lock(mutex_);
  if (timeout_ms < 0) {
    changed_.wait(lock, [this] { return signalled_; });
    return true;
  }
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [this] { return signalled_; });
}

}  // namespace vxr
