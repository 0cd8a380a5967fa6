#include "protocol/latency_record.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

namespace vxr {

int CLatencyRecord::BucketOf(std::uint64_t ns) {
  if (ns < kSubBuckets) return static_cast<int>(ns);
  const int exponent = std::min(static_cast<int>(std::bit_width(ns)) - 1, kTopExponent);
  if (exponent == kTopExponent && ns >= (std::uint64_t{1} << (kTopExponent + 1))) {
    return kBuckets - 1;
  }
  const int sub = static_cast<int>((ns >> (exponent - kSubBits)) & (kSubBuckets - 1));
  return kSubBuckets + (exponent - kSubBits) * kSubBuckets + sub;
}

std::uint64_t CLatencyRecord::UpperEdge(int bucket) {
  if (bucket < kSubBuckets) return static_cast<std::uint64_t>(bucket);
  const int exponent = (bucket - kSubBuckets) / kSubBuckets + kSubBits;
  const int sub = (bucket - kSubBuckets) % kSubBuckets;
  const int shift = exponent - kSubBits;
  return ((static_cast<std::uint64_t>(kSubBuckets + sub + 1)) << shift) - 1;
}

void CLatencyRecord::Add(Duration duration) {
  const std::int64_t ns = std::max<std::int64_t>(duration.count(), 0);
  buckets_[static_cast<std::size_t>(BucketOf(static_cast<std::uint64_t>(ns)))].fetch_add(
      1, std::memory_order_relaxed);
  total_ns_.fetch_add(ns, std::memory_order_relaxed);
  std::int64_t seen = max_ns_.load(std::memory_order_relaxed);
  while (ns > seen && !max_ns_.compare_exchange_weak(seen, ns, std::memory_order_relaxed)) {
  }
}

std::int64_t CLatencyRecord::Count() const {
  std::int64_t count = 0;
  for (const auto& bucket : buckets_) {
    count += static_cast<std::int64_t>(bucket.load(std::memory_order_relaxed));
  }
  return count;
}

std::int64_t CLatencyRecord::CountAtMost(Duration bound) const {
  if (bound.count() < 0) return 0;
  const auto limit = static_cast<std::uint64_t>(bound.count());
  std::int64_t count = 0;
  for (int i = 0; i < kBuckets - 1 && UpperEdge(i) <= limit; ++i) {
    count += static_cast<std::int64_t>(
        buckets_[static_cast<std::size_t>(i)].load(std::memory_order_relaxed));
  }
  return count;
}

CLatencyRecord::Duration CLatencyRecord::Quantile(double q) const {
  // One pass over a copy, so that the count and the walk agree.
  std::vector<std::uint64_t> counts(kBuckets);
  std::uint64_t total = 0;
  for (int i = 0; i < kBuckets; ++i) {
    counts[static_cast<std::size_t>(i)] =
        buckets_[static_cast<std::size_t>(i)].load(std::memory_order_relaxed);
    total += counts[static_cast<std::size_t>(i)];
  }
  if (total == 0) return Duration(0);
  const double share = std::clamp(q, 0.0, 1.0);
  const auto rank = std::max<std::uint64_t>(
      1, static_cast<std::uint64_t>(std::ceil(share * static_cast<double>(total))));
  const auto max = static_cast<std::uint64_t>(max_ns_.load(std::memory_order_relaxed));
  std::uint64_t seen = 0;
  for (int i = 0; i < kBuckets; ++i) {
    seen += counts[static_cast<std::size_t>(i)];
    if (seen < rank) continue;
    // The last bucket holds everything beyond the others: only the maximum tells its size.
    if (i == kBuckets - 1) break;
    return Duration(static_cast<std::int64_t>(std::min(UpperEdge(i), max)));
  }
  return Duration(static_cast<std::int64_t>(max));
}

CLatencyRecord::Summary CLatencyRecord::Summarize() const {
  Summary summary;
  summary.count = Count();
  summary.p50 = Quantile(0.50);
  summary.p99 = Quantile(0.99);
  summary.max = Max();
  return summary;
}

}  // namespace vxr
