#include "vboard/server/fault_injector.h"

namespace vxr {

void CFaultInjector::Arm(BoardCall call, HRESULT result, bool always) {
  std::lock_guard lock(mutex_);
  Fault& fault = faults_[static_cast<std::size_t>(call)];
  // A fault that reports success would be no fault: the call site would go on as if unarmed.
  fault.result = FAILED(result) ? result : E_FAIL;
  fault.armed = true;
  fault.always = always;
  UpdateAnyArmed();
}

void CFaultInjector::FailOnce(BoardCall call, HRESULT result) { Arm(call, result, false); }

void CFaultInjector::FailAlways(BoardCall call, HRESULT result) { Arm(call, result, true); }

void CFaultInjector::Clear(BoardCall call) {
  std::lock_guard lock(mutex_);
  faults_[static_cast<std::size_t>(call)].armed = false;
  UpdateAnyArmed();
}

void CFaultInjector::ClearAll() {
  std::lock_guard lock(mutex_);
  for (Fault& fault : faults_) fault.armed = false;
  UpdateAnyArmed();
}

HRESULT CFaultInjector::Check(BoardCall call) {
  if (!any_armed_.load(std::memory_order_acquire)) return S_OK;
  std::lock_guard lock(mutex_);
  Fault& fault = faults_[static_cast<std::size_t>(call)];
  if (!fault.armed) return S_OK;
  ++fault.fired;
  if (!fault.always) {
    fault.armed = false;
    UpdateAnyArmed();
  }
  return fault.result;
}

int CFaultInjector::Fired(BoardCall call) const {
  std::lock_guard lock(mutex_);
  return faults_[static_cast<std::size_t>(call)].fired;
}

bool CFaultInjector::Armed(BoardCall call) const {
  std::lock_guard lock(mutex_);
  return faults_[static_cast<std::size_t>(call)].armed;
}

void CFaultInjector::UpdateAnyArmed() {
  bool any = false;
  for (const Fault& fault : faults_) any = any || fault.armed;
  any_armed_.store(any, std::memory_order_release);
}

const char* CFaultInjector::Name(BoardCall call) {
  switch (call) {
    case BoardCall::kGetSuperClip:
      return "get_SuperClip";
    case BoardCall::kOpenFile:
      return "OpenFile";
    case BoardCall::kAddSuperClipFragment:
      return "AddSuperClipFragment";
    case BoardCall::kPutState:
      return "put_State";
    case BoardCall::kReset:
      return "Reset";
    case BoardCall::kGetQueuedTime:
      return "get_QueuedTime";
    case BoardCall::kCreateAVTimeline:
      return "CreateAVTimeline";
    case BoardCall::kStopOnError:
      return "StopOnError";
  }
  return "?";
}

}  // namespace vxr
