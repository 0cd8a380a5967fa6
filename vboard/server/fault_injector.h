#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>

#include "platform/hresult.h"

namespace vxr {

// The server calls of the software board that a test can make fail, and the board's own
// failure: the timeline stopping on error (state 5) while it moves.
enum class BoardCall : std::size_t {
  kGetSuperClip,
  kOpenFile,
  kAddSuperClipFragment,
  kPutState,
  kReset,
  kGetQueuedTime,
  kCreateAVTimeline,
  kStopOnError,
};
inline constexpr std::size_t kBoardCallCount = 8;

// Failures on demand, for tests only: nothing arms a fault unless a test asks, so the program
// never sees one. A fault makes its call fail with the chosen result, on the next call only or
// on every call until cleared. The call sites ask Check; while no fault is armed that costs one
// atomic read. Safe from any thread.
class CFaultInjector {
 public:
  void FailOnce(BoardCall call, HRESULT result);
  void FailAlways(BoardCall call, HRESULT result);
  void Clear(BoardCall call);
  void ClearAll();

  // The call site's question: S_OK to go on, or the result the call fails with. A fault set
  // with FailOnce is used up by the answer.
  HRESULT Check(BoardCall call);
  // How often the call has been made to fail so far.
  int Fired(BoardCall call) const;
  // Whether a fault waits for the call.
  bool Armed(BoardCall call) const;

  // The server's name of the call ("get_SuperClip", "put_State", ...).
  static const char* Name(BoardCall call);

 private:
  struct Fault {
    HRESULT result = S_OK;
    bool armed = false;
    bool always = false;
    int fired = 0;
  };
  void Arm(BoardCall call, HRESULT result, bool always);
  void UpdateAnyArmed();

  std::atomic<bool> any_armed_{false};  // fast path of Check
  mutable std::mutex mutex_;            // guards faults_
  std::array<Fault, kBoardCallCount> faults_{};
};

// A call site's one line: S_OK without an injector.
inline HRESULT InjectedFault(const std::shared_ptr<CFaultInjector>& faults, BoardCall call) {
  return faults ? faults->Check(call) : S_OK;
}

}  // namespace vxr
