#pragma once

#include <atomic>
#include <cstdint>

namespace vxr {

// The board's time source, in nanoseconds. The program runs on the steady clock; tests of the
// timeline step a clock of their own so that every frame boundary is exact.
class IBoardClock {
 public:
  virtual ~IBoardClock() = default;
  virtual std::int64_t NowNs() const = 0;
};

// std::chrono::steady_clock, nanoseconds since its epoch.
class CSteadyClock : public IBoardClock {
 public:
  std::int64_t NowNs() const override;
};

// A clock that moves only when told. Safe to read while another thread sets it.
class CSteppedClock : public IBoardClock {
 public:
  explicit CSteppedClock(std::int64_t start_ns = 0) : now_(start_ns) {}
  std::int64_t NowNs() const override { return now_.load(); }
  void Set(std::int64_t ns) { now_.store(ns); }
  void Advance(std::int64_t ns) { now_.fetch_add(ns); }

 private:
  std::atomic<std::int64_t> now_;
};

}  // namespace vxr
