#include "tools/vxrctl/controller_frames.h"

#include <gtest/gtest.h>

#include <cmath>

#include "protocol/frame.h"

namespace vxr::vxrctl {
namespace {

Bytes FrameOf(std::vector<std::string> words) {
  Request request;
  std::string error;
  EXPECT_TRUE(BuildRequest(words, &request, &error)) << error;
  return request.frame;
}

bool Refused(std::vector<std::string> words) {
  Request request;
  std::string error;
  const bool built = BuildRequest(words, &request, &error);
  return !built && !error.empty();
}

// --- Commands to frames ---

TEST(ControllerFrames, NamedCommandsBuildTheirFrames) {
  EXPECT_EQ(FrameOf({"devtype"}), (Bytes{0x00, 0x11, 0x11}));
  EXPECT_EQ(FrameOf({"play"}), (Bytes{0x20, 0x01, 0x21}));
  EXPECT_EQ(FrameOf({"stop"}), (Bytes{0x20, 0x00, 0x20}));
  EXPECT_EQ(FrameOf({"ff"}), (Bytes{0x20, 0x10, 0x30}));
  EXPECT_EQ(FrameOf({"rew"}), (Bytes{0x20, 0x20, 0x40}));
  EXPECT_EQ(FrameOf({"eject"}), (Bytes{0x20, 0x0F, 0x2F}));
  EXPECT_EQ(FrameOf({"cue", "00:00:10:00"}), (Bytes{0x24, 0x31, 0x00, 0x10, 0x00, 0x00, 0x65}));
  EXPECT_EQ(FrameOf({"cue", "39:59:59:29"}), (Bytes{0x24, 0x31, 0x29, 0x59, 0x59, 0x39, 0x69}));
  EXPECT_EQ(FrameOf({"status"}), (Bytes{0x61, 0x20, 0x09, 0x8A}));
  EXPECT_EQ(FrameOf({"status", "2", "3"}), (Bytes{0x61, 0x20, 0x23, 0xA4}));
  EXPECT_EQ(FrameOf({"time"}), (Bytes{0x61, 0x0C, 0x01, 0x6E}));
  EXPECT_EQ(FrameOf({"time", "04"}), (Bytes{0x61, 0x0C, 0x04, 0x71}));
  EXPECT_EQ(FrameOf({"preset", "0x3B"}), (Bytes{0x41, 0x31, 0x3B, 0xAD}));
  EXPECT_EQ(FrameOf({"timer-mode", "1"}), (Bytes{0x41, 0x36, 0x01, 0x78}));
}

TEST(ControllerFrames, RawFramesGetAChecksumOnlyWhenTheyLackIt) {
  EXPECT_EQ(FrameOf({"raw", "20", "01"}), (Bytes{0x20, 0x01, 0x21}));
  EXPECT_EQ(FrameOf({"raw", "20", "01", "22"}), (Bytes{0x20, 0x01, 0x22}));  // sent as written
  EXPECT_EQ(FrameOf({"raw", "0x61", "20", "0F"}), (Bytes{0x61, 0x20, 0x0F, 0x90}));
  EXPECT_TRUE(Refused({"raw", "20"}));
  EXPECT_TRUE(Refused({"raw", "20", "zz"}));
  EXPECT_TRUE(Refused({"raw", "20", "100"}));
}

TEST(ControllerFrames, BadArgumentsAreRefused) {
  EXPECT_TRUE(Refused({}));
  EXPECT_TRUE(Refused({"record"}));
  EXPECT_TRUE(Refused({"play", "now"}));
  EXPECT_TRUE(Refused({"cue", "00:00:60:00"}));
  EXPECT_TRUE(Refused({"cue", "40:00:00:00"}));
  EXPECT_TRUE(Refused({"cue", "00:00:10"}));
  EXPECT_TRUE(Refused({"cue", "00:00:10:00x"}));
  EXPECT_TRUE(Refused({"status", "16", "1"}));
  EXPECT_TRUE(Refused({"status", "1"}));
  EXPECT_TRUE(Refused({"time", "1FF"}));
  EXPECT_TRUE(Refused({"jog"}));
  EXPECT_TRUE(Refused({"jog", "fast"}));
  EXPECT_TRUE(Refused({"shuttle", "1000"}));
  EXPECT_TRUE(Refused({"preset", "256"}));
}

TEST(ControllerFrames, NumbersAreDecimalOrHexWithPrefix) {
  // A leading zero does not make a number octal.
  EXPECT_EQ(FrameOf({"preset", "010"}), (Bytes{0x41, 0x31, 0x0A, 0x7C}));
  EXPECT_EQ(FrameOf({"status", "08", "1"}), (Bytes{0x61, 0x20, 0x81, 0x02}));
  EXPECT_EQ(FrameOf({"status", "0X0f", "0x0"}), (Bytes{0x61, 0x20, 0xF0, 0x71}));
  EXPECT_TRUE(Refused({"preset", "0x"}));
  EXPECT_TRUE(Refused({"preset", "-1"}));
  EXPECT_TRUE(Refused({"preset", "+5"}));
  EXPECT_TRUE(Refused({"preset", "3B"}));
  EXPECT_TRUE(Refused({"preset", "99999999999999999999999"}));
}

TEST(ControllerFrames, SpeedsSurviveTheRoundTripThroughTheDataBytes) {
  for (double speed : {0.02, 0.1, 0.5, 1.0, 1.0373, 2.0, 10.0, 50.0}) {
    std::uint8_t coarse = 0, fine = 0;
    SpeedToData(speed, &coarse, &fine);
    EXPECT_NEAR(SpeedFromData(coarse, fine), speed, speed * 0.005) << speed;
  }
  std::uint8_t coarse = 1, fine = 1;
  SpeedToData(1.0, &coarse, &fine);
  EXPECT_EQ(coarse, 64);
  EXPECT_EQ(fine, 0);
  SpeedToData(0.0, &coarse, &fine);
  EXPECT_EQ(coarse, 0);
  EXPECT_EQ(fine, 0);
}

TEST(ControllerFrames, JogAndShuttleCarryDirectionInCmd2) {
  EXPECT_EQ(FrameOf({"jog", "1"}), (Bytes{0x21, 0x11, 0x40, 0x72}));
  EXPECT_EQ(FrameOf({"jog", "-1"}), (Bytes{0x21, 0x21, 0x40, 0x82}));
  EXPECT_EQ(FrameOf({"jog", "0"}), (Bytes{0x21, 0x11, 0x00, 0x32}));
  EXPECT_EQ(FrameOf({"shuttle", "+1"})[1], 0x13);
  EXPECT_EQ(FrameOf({"shuttle", "-2.5"})[1], 0x23);
  // A speed between coarse steps needs the fine byte.
  const Bytes fine = FrameOf({"shuttle", "1.0373"});
  ASSERT_EQ(fine.size(), 5u);
  EXPECT_EQ(fine[0], 0x22);
  EXPECT_EQ(fine[4], static_cast<std::uint8_t>(Checksum(fine.data(), 4)));
}

// --- Replies to text ---

ReplyText Describe(std::vector<std::string> words, Bytes reply) {
  Request request;
  std::string error;
  EXPECT_TRUE(BuildRequest(words, &request, &error));
  return DescribeReply(request, reply);
}

TEST(ControllerFrames, RepliesAreDecoded) {
  EXPECT_EQ(Describe({"play"}, {0x10, 0x01, 0x11}).kind, ReplyKind::kAck);
  const ReplyText nak = Describe({"raw", "20", "01", "22"}, {0x11, 0x12, 0x04, 0x27});
  EXPECT_EQ(nak.kind, ReplyKind::kNak);
  EXPECT_EQ(nak.text, "NAK 04: checksum error");
  EXPECT_EQ(Describe({"preset", "99"}, {0x11, 0x12, 0x00, 0x23}).text,
            "NAK 00: value out of range");
  EXPECT_EQ(Describe({"devtype"}, {0x12, 0x11, 0x21, 0x50, 0x94}).text, "device type 21 50");

  const ReplyText status = Describe({"status", "0", "3"}, {0x73, 0x20, 0x00, 0xA0, 0x02, 0x35});
  EXPECT_EQ(status.kind, ReplyKind::kData);
  EXPECT_EQ(status.text, "status from byte 0: 00 A0 02  Stop Standby Still");
  // Bytes from a later start are named by their place in the block.
  EXPECT_EQ(Describe({"status", "8", "1"}, {0x71, 0x20, 0x10, 0xA1}).text,
            "status from byte 8: 10  End_Of_Tape");

  EXPECT_EQ(Describe({"time"}, {0x74, 0x04, 0x04, 0x03, 0x02, 0x01, 0x82}).text,
            "LTC 01:02:03:04 locked");
  // Flag bits are not part of the time.
  EXPECT_EQ(Describe({"time"}, {0x74, 0x14, 0xC4, 0x83, 0x82, 0xC1, 0x12}).text,
            "LTC 01:02:03:04 unlocked");
  EXPECT_EQ(Describe({"time", "10"}, {0x74, 0x05, 0x11, 0x22, 0x33, 0x44, 0x23}).text,
            "user bits 11 22 33 44 locked");
  EXPECT_EQ(Describe({"time", "02"}, {0x70, 0x0D, 0x7D}).text, "time data not available");
}

TEST(ControllerFrames, BrokenRepliesAreNotTakenForAnswers) {
  EXPECT_EQ(Describe({"play"}, {}).kind, ReplyKind::kMalformed);
  EXPECT_EQ(Describe({"play"}, {0x10, 0x01}).kind, ReplyKind::kMalformed);
  EXPECT_EQ(Describe({"play"}, {0x10, 0x01, 0x12}).kind, ReplyKind::kMalformed);
  EXPECT_EQ(Describe({"status"}, {0x73, 0x20, 0x00, 0xA0, 0x02, 0x36}).kind, ReplyKind::kMalformed);
}

}  // namespace
}  // namespace vxr::vxrctl
