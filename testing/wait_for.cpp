#include "testing/wait_for.h"

#include <chrono>
#include <thread>

namespace vxr::testing {

bool WaitFor(const std::function<bool()>& condition, int timeout_ms, int poll_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
  }
  return condition();
}

}  // namespace vxr::testing
