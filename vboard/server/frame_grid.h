#pragma once

#include <cstdint>

namespace vxr {

// The board's output frame ticks: tick k falls at epoch + floor(k x den x 1e9 / num)
// nanoseconds, computed exactly in integers so that 30000/1001 never drifts.
class FrameGrid {
 public:
  FrameGrid(std::int64_t epoch_ns, int rate_num, int rate_den);

  // The tick at or before the time: the largest k with TimeOfTick(k) <= ns; -1 before tick 0.
  std::int64_t TickAt(std::int64_t ns) const;
  std::int64_t TimeOfTick(std::int64_t tick) const;
  // Frames per second as the board reports it (num / den as a double).
  double Rate() const { return static_cast<double>(num_) / den_; }
  std::int64_t epoch_ns() const { return epoch_; }

 private:
  std::int64_t epoch_;
  std::int64_t num_;
  std::int64_t den_;
};

}  // namespace vxr
