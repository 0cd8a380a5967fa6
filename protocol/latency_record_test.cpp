#include "protocol/latency_record.h"

#include <gtest/gtest.h>

#include <thread>

namespace vxr {
namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

TEST(LatencyRecord, QuantilesAreWithinASixteenthAboveAndNeverPastTheMaximum) {
  CLatencyRecord record;
  EXPECT_EQ(record.Summarize().count, 0);
  EXPECT_EQ(record.Quantile(0.5), nanoseconds(0));

  // 1 to 1000 us: p50 is 500 us, p99 990 us, max 1000 us.
  for (int us = 1000; us >= 1; --us) record.Add(microseconds(us));
  const CLatencyRecord::Summary summary = record.Summarize();
  EXPECT_EQ(summary.count, 1000);
  EXPECT_GE(summary.p50, microseconds(500));
  EXPECT_LE(summary.p50.count(), 500'000 + 500'000 / 16);
  EXPECT_GE(summary.p99, microseconds(990));
  EXPECT_LE(summary.p99, microseconds(1000));  // the bucket reaches past it; the maximum does not
  EXPECT_EQ(summary.max, microseconds(1000));
  EXPECT_GE(record.Quantile(0.0), microseconds(1));  // the smallest, within its bucket
  EXPECT_LE(record.Quantile(0.0).count(), 1000 + 1000 / 16);
  EXPECT_EQ(record.Quantile(1.0), microseconds(1000));

  // A histogram's cumulative buckets: none below the smallest, all at the largest, and in
  // between within a sixteenth of the true count; the total is exact.
  EXPECT_EQ(record.CountAtMost(nanoseconds(500)), 0);
  EXPECT_EQ(record.CountAtMost(microseconds(2000)), 1000);
  EXPECT_GE(record.CountAtMost(microseconds(500)), 500 - 500 / 16);
  EXPECT_LE(record.CountAtMost(microseconds(500)), 500);
  EXPECT_EQ(record.Total(), microseconds(1000 * 1001 / 2));

  // Extremes stay inside the record: a negative time counts as 0, an hour-long one as the
  // largest bucket, and the maximum keeps what it really was.
  record.Add(nanoseconds(-5));
  record.Add(std::chrono::hours(1));
  EXPECT_EQ(record.Count(), 1002);
  EXPECT_EQ(record.Max(), std::chrono::hours(1));
  EXPECT_EQ(record.Quantile(1.0), std::chrono::hours(1));
  EXPECT_EQ(record.Quantile(0.0), nanoseconds(0));
}

TEST(LatencyRecord, ReadersDuringAddsSeeAtMostWhatWasAdded) {
  CLatencyRecord record;
  constexpr int kAdds = 200000;
  std::thread writer([&record] {
    for (int i = 0; i < kAdds; ++i) record.Add(nanoseconds(100 + i % 1000));
  });
  std::int64_t last = 0;
  while (last < kAdds) {
    const CLatencyRecord::Summary summary = record.Summarize();
    ASSERT_GE(summary.count, last);
    ASSERT_LE(summary.max, nanoseconds(1099));
    ASSERT_LE(summary.p50, summary.max);
    last = summary.count;
  }
  writer.join();
  EXPECT_EQ(record.Count(), kAdds);
}

}  // namespace
}  // namespace vxr
