#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

namespace vxr {
namespace {

constexpr std::uint8_t kSentinel = 0xA5;

TEST(FrameTest, ChecksumIsTheSumOfTheBytes) {
  const std::uint8_t bytes[] = {0x24, 0x31, 0x00, 0x10, 0x00, 0x00};
  EXPECT_EQ(Checksum(bytes, 6), 0x65);
  EXPECT_EQ(Checksum(bytes, 0), 0);
  EXPECT_EQ(Checksum(bytes, -3), 0);
  const std::uint8_t big[] = {0xFF, 0xFF, 0xFF};
  EXPECT_EQ(Checksum(big, 3), 0x2FD);
}

TEST(FrameTest, BuildReplyWritesFrameAndNothingBeyond) {
  std::array<std::uint8_t, 12> out;
  out.fill(kSentinel);
  const std::uint8_t data[] = {0x00, 0x10, 0x00, 0x00};
  // The buffer handed over is out[1..8]; out[0] and out[9..] are sentinels.
  ASSERT_EQ(BuildReply(0x7F, 0x04, data, 4, out.data() + 1, 8), 0);
  EXPECT_EQ(out[0], kSentinel);
  const std::array<std::uint8_t, 7> expected = {0x74, 0x04, 0x00, 0x10, 0x00, 0x00, 0x88};
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(out[i + 1], expected[i]) << i;
  for (std::size_t i = 8; i < out.size(); ++i) EXPECT_EQ(out[i], kSentinel) << i;
}

TEST(FrameTest, BuildReplyRefusesTooMuchDataAndTooSmallBuffers) {
  std::array<std::uint8_t, 20> out;
  out.fill(kSentinel);
  const std::uint8_t data[16] = {};
  EXPECT_EQ(BuildReply(0x70, 0x20, data, 16, out.data(), 20), -1);
  EXPECT_EQ(BuildReply(0x70, 0x20, data, 4, out.data(), 6), 7);
  for (std::uint8_t b : out) EXPECT_EQ(b, kSentinel);
  EXPECT_EQ(BuildReply(0x70, 0x20, data, 15, out.data(), 18), 0);
  EXPECT_EQ(out[0], 0x7F);
  EXPECT_EQ(out[18], kSentinel);
}

TEST(FrameTest, NakFrames) {
  std::uint8_t out[6] = {kSentinel, 0, 0, 0, 0, kSentinel};
  MakeNak(kNakUndefined, out + 1);
  EXPECT_EQ(out[1], 0x11);
  EXPECT_EQ(out[2], 0x12);
  EXPECT_EQ(out[3], 0x01);
  EXPECT_EQ(out[4], 0x24);
  EXPECT_EQ(out[5], kSentinel);
  EXPECT_EQ(out[0], kSentinel);
  MakeNak(kNakChecksum, out + 1);
  EXPECT_EQ(out[4], 0x27);
  MakeNak(kNakOutOfRange, out + 1);
  EXPECT_EQ(out[4], 0x23);
}

TEST(FrameTest, SpeedFromDataCoarseSteps) {
  EXPECT_DOUBLE_EQ(SpeedFromData(64, 0), 1.0);
  EXPECT_NEAR(SpeedFromData(32, 0), 0.1, 1e-12);
  EXPECT_NEAR(SpeedFromData(96, 0), 10.0, 1e-12);
  EXPECT_EQ(SpeedFromData(0, 0), 0.0);
}

TEST(FrameTest, SpeedFromDataFineByte) {
  EXPECT_NEAR(SpeedFromData(0x40, 0x80), 1.0373039, 5e-8);
  // With no coarse step the fine byte alone is a linear fraction of 10^(1/32).
  EXPECT_NEAR(SpeedFromData(0, 128), 0.5373039, 5e-7);
  // The fine byte moves f/256 of the way to the next coarse step.
  EXPECT_NEAR(SpeedFromData(64, 255), 1.0 + (SpeedFromData(65, 0) - 1.0) * 255.0 / 256.0, 1e-12);
  // Not clamped: the largest value is handed on as computed.
  EXPECT_NEAR(SpeedFromData(255, 0), std::pow(10.0, 255.0 / 32.0 - 2.0), 1e-6);
}

}  // namespace
}  // namespace vxr
