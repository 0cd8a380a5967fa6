#include "vboard/server/frame_grid.h"

namespace vxr {
namespace {

constexpr __int128 kNsPerSecond = 1'000'000'000;

}  // namespace

FrameGrid::FrameGrid(std::int64_t epoch_ns, int rate_num, int rate_den)
    : epoch_(epoch_ns), num_(rate_num > 0 ? rate_num : 25), den_(rate_den > 0 ? rate_den : 1) {}

std::int64_t FrameGrid::TimeOfTick(std::int64_t tick) const {
  const __int128 offset = static_cast<__int128>(tick) * den_ * kNsPerSecond / num_;
  return epoch_ + static_cast<std::int64_t>(offset);
}

std::int64_t FrameGrid::TickAt(std::int64_t ns) const {
  if (ns < epoch_) return -1;
  // floor(k x den x 1e9 / num) <= d  <=>  k x den x 1e9 < (d + 1) x num
  const __int128 d = static_cast<__int128>(ns) - epoch_;
  const __int128 period = static_cast<__int128>(den_) * kNsPerSecond;
  const __int128 limit = (d + 1) * num_;  // k x period < limit
  return static_cast<std::int64_t>((limit - 1) / period);
}

}  // namespace vxr
