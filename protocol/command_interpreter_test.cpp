#include "protocol/command_interpreter.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "protocol/frame.h"

namespace vxr {
namespace {

DecodedRequest Decode(std::initializer_list<std::uint8_t> bytes) {
  // The frame sits between sentinels; the decoder must read only `length` bytes.
  std::vector<std::uint8_t> buffer(bytes.size() + 2, 0xA5);
  std::copy(bytes.begin(), bytes.end(), buffer.begin() + 1);
  const std::vector<std::uint8_t> before = buffer;
  DecodedRequest request = DecodeFrame(buffer.data() + 1, static_cast<int>(bytes.size()));
  EXPECT_EQ(buffer, before) << "the decoder wrote to its input";
  return request;
}

void ExpectReply(const DecodedRequest& request, FixedReply reply) {
  EXPECT_EQ(request.kind, RequestKind::kReply);
  EXPECT_EQ(request.reply, reply);
}

void ExpectTransport(const DecodedRequest& request, TransportOp op) {
  EXPECT_EQ(request.kind, RequestKind::kTransport);
  EXPECT_EQ(request.op, op);
}

TEST(DecodeFrameTest, LengthAndChecksumAreCheckedFirst) {
  ExpectReply(Decode({0x20, 0x00, 0x21}), FixedReply::kNakChecksum);
  // Received length differs from N + 3, in both directions.
  ExpectReply(Decode({0x21, 0x00, 0x21}), FixedReply::kNakChecksum);
  ExpectReply(Decode({0x20, 0x00, 0x20, 0x00}), FixedReply::kNakChecksum);
  ExpectReply(Decode({0x20, 0x00}), FixedReply::kNakChecksum);
  EXPECT_EQ(DecodeFrame(nullptr, 0).reply, FixedReply::kNakChecksum);
  // A checksum that is only right beyond its low 8 bits does not count.
  ExpectReply(Decode({0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFE}),
              FixedReply::kNakUndefined);
}

TEST(DecodeFrameTest, SystemGroup) {
  EXPECT_EQ(Decode({0x00, 0x11, 0x11}).kind, RequestKind::kDeviceType);
  EXPECT_EQ(Decode({0x01, 0x11, 0x00, 0x12}).kind, RequestKind::kDeviceType);
  ExpectReply(Decode({0x00, 0x12, 0x12}), FixedReply::kNakUndefined);
}

TEST(DecodeFrameTest, TransportCommandsWithoutData) {
  ExpectTransport(Decode({0x20, 0x00, 0x20}), TransportOp::kStop);
  ExpectTransport(Decode({0x20, 0x01, 0x21}), TransportOp::kPlay);
  ExpectTransport(Decode({0x20, 0x0F, 0x2F}), TransportOp::kEject);
  ExpectTransport(Decode({0x20, 0x10, 0x30}), TransportOp::kFastFwd);
  ExpectTransport(Decode({0x20, 0x20, 0x40}), TransportOp::kRewind);
  for (std::uint8_t cmd2 : {0x04, 0x05, 0x55}) {
    const std::uint8_t sum = static_cast<std::uint8_t>(0x20 + cmd2);
    ExpectTransport(Decode({0x20, cmd2, sum}), TransportOp::kNone);
  }
  ExpectReply(Decode({0x20, 0x30, 0x50}), FixedReply::kNakUndefined);
  ExpectReply(Decode({0x20, 0x02, 0x22}), FixedReply::kNakUndefined);
}

TEST(DecodeFrameTest, JogAndShuttleSpeeds) {
  DecodedRequest jog = Decode({0x21, 0x11, 0x40, 0x72});
  ExpectTransport(jog, TransportOp::kJog);
  EXPECT_DOUBLE_EQ(jog.speed, 1.0);
  DecodedRequest reverse = Decode({0x21, 0x21, 0x40, 0x82});
  ExpectTransport(reverse, TransportOp::kJog);
  EXPECT_DOUBLE_EQ(reverse.speed, -1.0);
  DecodedRequest shuttle = Decode({0x22, 0x13, 0x40, 0x80, 0xF5});
  ExpectTransport(shuttle, TransportOp::kShuttle);
  EXPECT_NEAR(shuttle.speed, 1.0373039, 5e-8);
  DecodedRequest back = Decode({0x22, 0x23, 0x40, 0x80, 0x05});
  ExpectTransport(back, TransportOp::kShuttle);
  EXPECT_NEAR(back.speed, -1.0373039, 5e-8);
  DecodedRequest still = Decode({0x20, 0x11, 0x31});
  ExpectTransport(still, TransportOp::kJog);
  EXPECT_EQ(still.speed, 0.0);
  // Bytes beyond the second speed byte are ignored.
  DecodedRequest extra = Decode({0x23, 0x13, 0x40, 0x00, 0x77, 0xED});
  EXPECT_DOUBLE_EQ(extra.speed, 1.0);
}

TEST(DecodeFrameTest, CueNeedsExactlyFourDataBytes) {
  DecodedRequest cue = Decode({0x24, 0x31, 0x00, 0x10, 0x00, 0x00, 0x65});
  ExpectTransport(cue, TransportOp::kCueUp);
  EXPECT_EQ(cue.timecode.value, 0x00001000u);
  EXPECT_EQ(cue.timecode.ToFrames(25), 250u);
  ExpectReply(Decode({0x20, 0x31, 0x51}), FixedReply::kNakUndefined);
  ExpectReply(Decode({0x25, 0x31, 0, 0x10, 0, 0, 0, 0x66}), FixedReply::kNakUndefined);
}

TEST(DecodeFrameTest, CommandsThatNeedCmd1Twenty) {
  ExpectTransport(Decode({0x20, 0x60, 0x80}), TransportOp::kNone);
  ExpectReply(Decode({0x21, 0x60, 0x00, 0x81}), FixedReply::kNakUndefined);
  for (std::uint8_t cmd2 : {0x61, 0x63, 0x64, 0x65}) {
    const std::uint8_t sum = static_cast<std::uint8_t>(0x20 + cmd2);
    ExpectTransport(Decode({0x20, cmd2, sum}), TransportOp::kNone);
  }
}

TEST(DecodeFrameTest, PresetGroup) {
  DecodedRequest timer = Decode({0x41, 0x36, 0x01, 0x78});
  EXPECT_EQ(timer.kind, RequestKind::kSetTimerMode);
  EXPECT_EQ(timer.value, 1);
  ExpectReply(Decode({0x41, 0x36, 0x02, 0x79}), FixedReply::kNakOutOfRange);
  DecodedRequest preset = Decode({0x41, 0x31, 0x3B, 0xAD});
  EXPECT_EQ(preset.kind, RequestKind::kSetPreset);
  EXPECT_EQ(preset.value, 0x3B);
  ExpectReply(Decode({0x41, 0x31, 0x3C, 0xAE}), FixedReply::kNakOutOfRange);
  ExpectReply(Decode({0x40, 0x34, 0x74}), FixedReply::kAck);
  ExpectReply(Decode({0x40, 0x35, 0x75}), FixedReply::kNakUndefined);
  // With N = 0 the value is the checksum byte: 40 36 76 asks for timer mode 76.
  ExpectReply(Decode({0x40, 0x36, 0x76}), FixedReply::kNakOutOfRange);
}

TEST(DecodeFrameTest, SenseGroup) {
  DecodedRequest status = Decode({0x61, 0x20, 0x0F, 0x90});
  EXPECT_EQ(status.kind, RequestKind::kStatusSense);
  EXPECT_EQ(status.value, 0x0F);
  // Without data the value is the checksum byte.
  EXPECT_EQ(Decode({0x60, 0x20, 0x80}).value, 0x80);
  DecodedRequest time = Decode({0x61, 0x0C, 0x01, 0x6E});
  EXPECT_EQ(time.kind, RequestKind::kTimeSense);
  EXPECT_EQ(time.value, 0x01);
  ExpectReply(Decode({0x60, 0x21, 0x81}), FixedReply::kNakUndefined);
}

TEST(DecodeFrameTest, UndefinedGroupsAreRefused) {
  for (int group : {0x10, 0x30, 0x50, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0}) {
    const std::uint8_t cmd1 = static_cast<std::uint8_t>(group);
    const std::uint8_t sum = static_cast<std::uint8_t>(cmd1 + 0x01);
    ExpectReply(Decode({cmd1, 0x01, sum}), FixedReply::kNakUndefined);
  }
}

TEST(DecodeFrameTest, EveryTwoByteHeadDecodesWithoutTouchingMore) {
  // Exhaustive over CMD-1 and CMD-2 with the data all zero: every frame gets a decision and the
  // decoder stays inside the frame (checked by the sentinels and under AddressSanitizer).
  for (int cmd1 = 0; cmd1 < 256; ++cmd1) {
    for (int cmd2 = 0; cmd2 < 256; ++cmd2) {
      const int n = cmd1 & 0x0F;
      std::vector<std::uint8_t> frame(static_cast<std::size_t>(n + 3), 0);
      frame[0] = static_cast<std::uint8_t>(cmd1);
      frame[1] = static_cast<std::uint8_t>(cmd2);
      frame[static_cast<std::size_t>(n + 2)] = static_cast<std::uint8_t>(cmd1 + cmd2);
      const DecodedRequest request = DecodeFrame(frame.data(), n + 3);
      ASSERT_NE(request.reply, FixedReply::kNakChecksum) << cmd1 << " " << cmd2;
    }
  }
}

}  // namespace
}  // namespace vxr
