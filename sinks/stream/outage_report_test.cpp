#include "sinks/stream/outage_report.h"

#include <gtest/gtest.h>

namespace vxr {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

TEST(OutageReportTest, AnOutageIsItsFirstFailureASummaryAMinuteAndOneLineWhenItEnds) {
  COutageReport report("output udp://h:1");
  EXPECT_EQ(report.Recovered(0), "");  // no outage, nothing to say
  EXPECT_EQ(report.Failed("lost (Connection refused); retrying", 10 * kSecond),
            "output udp://h:1: lost (Connection refused); retrying");
  EXPECT_TRUE(report.InOutage());
  for (int retry = 1; retry <= 29; ++retry) {
    EXPECT_EQ(report.Failed("lost (Connection refused); retrying", (10 + 2 * retry) * kSecond), "");
  }
  EXPECT_EQ(report.Failed("cannot open: Connection refused; retrying", 70 * kSecond),
            "output udp://h:1: failed 30 more times in the last 60 s (cannot open: Connection "
            "refused; retrying)");
  EXPECT_EQ(report.Failed("x", 72 * kSecond), "");
  EXPECT_EQ(report.Recovered(75 * kSecond),
            "output udp://h:1: sending the program again after 32 failures in 65 s");
  EXPECT_FALSE(report.InOutage());
  EXPECT_EQ(report.Recovered(76 * kSecond), "");
  // The next outage is told from its start again.
  EXPECT_EQ(report.Failed("y", 80 * kSecond), "output udp://h:1: y");
  EXPECT_EQ(report.Failed("y", 81 * kSecond), "");
}

}  // namespace
}  // namespace vxr
