#pragma once

#include <condition_variable>
#include <mutex>

namespace vxr {

// An event that stays signalled until it is reset, like a Windows manual-reset event.
class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initially_set = false);
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;

  // Waits until the event is signalled or the time-out passes; a negative time-out waits without
  // limit. Returns true when the event is signalled.
  bool Wait(int timeout_ms) const;

  static constexpr int kInfinite = -1;

 private:
  mutable std::mutex mutex_;  // guards signalled_
  mutable std::condition_variable changed_;
  bool signalled_;
};

}  // namespace vxr
