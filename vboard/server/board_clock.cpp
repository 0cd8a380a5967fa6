#include "vboard/server/board_clock.h"

#include <chrono>

namespace vxr {

std::int64_t CSteadyClock::NowNs() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace vxr
