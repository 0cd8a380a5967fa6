#include "sinks/thumbnail/sound_peaks.h"

#include <gtest/gtest.h>

#include <vector>

namespace vxr {
namespace {

TEST(SoundPeaks, DbfsOfKnownLevels) {
  EXPECT_DOUBLE_EQ(PeakToDbfs(32768), 0.0);
  EXPECT_NEAR(PeakToDbfs(32767), -0.000265, 1e-6);
  EXPECT_NEAR(PeakToDbfs(16384), -6.0206, 1e-4);
  EXPECT_NEAR(PeakToDbfs(3277), -20.0, 1e-2);
  EXPECT_NEAR(PeakToDbfs(1), -90.309, 1e-3);
  EXPECT_DOUBLE_EQ(PeakToDbfs(0), kSilenceDbfs);
  EXPECT_DOUBLE_EQ(PeakToDbfs(-5), kSilenceDbfs);
}

TEST(SoundPeaks, ChannelPeaksTakeMagnitudesPerChannel) {
  // Left reaches the most negative sample, right a positive half scale; a trailing half frame
  // does not count.
  const std::vector<std::int16_t> samples{100, -200, -32768, 16384, 5, 7, 30000};
  const std::vector<int> peaks = ChannelPeaks(samples, 2);
  ASSERT_EQ(peaks.size(), 2u);
  EXPECT_EQ(peaks[0], 32768);
  EXPECT_EQ(peaks[1], 16384);
  EXPECT_EQ(ChannelPeaks({}, 2), (std::vector<int>{0, 0}));
}

TEST(SoundPeaks, WindowsSplitExactlyAtTheirLength) {
  CPeakWindow window(2, 4);
  EXPECT_EQ(window.Latest(), (std::vector<double>{kSilenceDbfs, kSilenceDbfs}));
  // Three frames: no window yet.
  EXPECT_FALSE(window.Add(std::vector<std::int16_t>{16384, 0, 0, 0, 0, 0}));
  EXPECT_EQ(window.Windows(), 0);
  // Three more: the first window closes after one of them; the loud right-hand sample after it
  // belongs to the next window.
  EXPECT_TRUE(window.Add(std::vector<std::int16_t>{0, 0, 0, 32767, 0, 0}));
  EXPECT_EQ(window.Windows(), 1);
  EXPECT_NEAR(window.Latest()[0], -6.0206, 1e-4);
  EXPECT_DOUBLE_EQ(window.Latest()[1], kSilenceDbfs);
  EXPECT_TRUE(window.Add(std::vector<std::int16_t>{0, 0, 0, 0}));
  EXPECT_EQ(window.Windows(), 2);
  EXPECT_DOUBLE_EQ(window.Latest()[0], kSilenceDbfs);
  EXPECT_NEAR(window.Latest()[1], 0.0, 1e-3);
  // One long block fills two windows at once; the newest one is what reads.
  std::vector<std::int16_t> block(2 * 8, 0);
  block[0] = 32767;
  block[2 * 7] = 1;
  EXPECT_TRUE(window.Add(block));
  EXPECT_EQ(window.Windows(), 4);
  EXPECT_NEAR(window.Latest()[0], -90.309, 1e-3);
}

}  // namespace
}  // namespace vxr
