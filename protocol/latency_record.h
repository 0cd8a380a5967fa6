#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace vxr {

// A bounded record of durations, such as the time the deck takes to answer a frame: counts in
// buckets that grow geometrically (sixteen to each doubling, so a figure read back is at most
// 1/16 above the duration it stands for), with the exact count and maximum. Its size never
// grows. One thread adds, any thread reads; no locks, so the writer never waits for a reader.
// A reading taken while durations are added may miss the newest of them.
class CLatencyRecord {
 public:
  using Duration = std::chrono::nanoseconds;

  struct Summary {
    std::int64_t count = 0;
    Duration p50{0};
    Duration p99{0};
    Duration max{0};
  };

  CLatencyRecord() = default;
  CLatencyRecord(const CLatencyRecord&) = delete;
  CLatencyRecord& operator=(const CLatencyRecord&) = delete;

  // A negative duration counts as 0; one beyond about 18 minutes lands in the last bucket (the
  // maximum still says how long it was).
  void Add(Duration duration);
  // The duration that a share q (0 to 1) of those added did not exceed, as the upper edge of
  // its bucket but never above the maximum; 0 when nothing was added.
  Duration Quantile(double q) const;
  Summary Summarize() const;
  std::int64_t Count() const;
  Duration Max() const { return Duration(max_ns_.load(std::memory_order_relaxed)); }
  // How many of those added lie in buckets whose upper edge is at or below bound: a monitoring
  // system's histogram buckets (a duration within 1/16 below a bound may count above it).
  std::int64_t CountAtMost(Duration bound) const;
  // The sum of every duration added.
  Duration Total() const { return Duration(total_ns_.load(std::memory_order_relaxed)); }

 private:
  static constexpr int kSubBits = 4;  // 16 buckets to each doubling
  static constexpr int kSubBuckets = 1 << kSubBits;
  static constexpr int kTopExponent = 40;  // 2^40 ns, about 18 minutes
  static constexpr int kBuckets = kSubBuckets + (kTopExponent - kSubBits + 1) * kSubBuckets;

  static int BucketOf(std::uint64_t ns);
  static std::uint64_t UpperEdge(int bucket);

  std::array<std::atomic<std::uint64_t>, kBuckets> buckets_{};
  std::atomic<std::int64_t> max_ns_{0};
  std::atomic<std::int64_t> total_ns_{0};
};

}  // namespace vxr
