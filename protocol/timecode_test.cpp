#include "protocol/timecode.h"

#include <gtest/gtest.h>

namespace vxr {
namespace {

Timecode FromWire(std::uint8_t ff, std::uint8_t ss, std::uint8_t mm, std::uint8_t hh) {
  const std::uint8_t bytes[4] = {ff, ss, mm, hh};
  return Timecode::FromBytes(bytes);
}

void ExpectBytes(const Timecode& tc, std::uint8_t ff, std::uint8_t ss, std::uint8_t mm,
                 std::uint8_t hh) {
  EXPECT_EQ(tc.Byte(0), ff);
  EXPECT_EQ(tc.Byte(1), ss);
  EXPECT_EQ(tc.Byte(2), mm);
  EXPECT_EQ(tc.Byte(3), hh);
}

TEST(TimecodeTest, FromFramesEncodesPackedBcd) {
  Timecode tc;
  tc.FromFrames(250, 25);
  ExpectBytes(tc, 0x00, 0x10, 0x00, 0x00);
  tc.FromFrames(2159999, 25);
  ExpectBytes(tc, 0x24, 0x59, 0x59, 0x23);
  tc.FromFrames(30 * 3600 + 29, 30);
  ExpectBytes(tc, 0x29, 0x00, 0x00, 0x01);
}

TEST(TimecodeTest, ToFramesAtBothRates) {
  EXPECT_EQ(FromWire(0x00, 0x00, 0x00, 0x01).ToFrames(25), 90000u);
  EXPECT_EQ(FromWire(0x00, 0x10, 0x00, 0x00).ToFrames(25), 250u);
  EXPECT_EQ(FromWire(0x29, 0x59, 0x59, 0x23).ToFrames(30), 2591999u);
}

TEST(TimecodeTest, ToFramesIgnoresFlagsAndDoesNotValidateDigits) {
  Timecode tc = FromWire(0x04, 0x03, 0x02, 0x01);
  tc.value |= Timecode::kFlagMask;
  EXPECT_EQ(tc.ToFrames(25), ((1u * 60 + 2) * 60 + 3) * 25 + 4);
  // A units nibble of A counts as ten.
  EXPECT_EQ(FromWire(0x0A, 0x00, 0x00, 0x00).ToFrames(25), 10u);
}

TEST(TimecodeTest, FromFramesKeepsFlagBits) {
  Timecode tc{0x00000040};
  tc.FromFrames(250, 25);
  ExpectBytes(tc, 0x40, 0x10, 0x00, 0x00);
  tc.value = Timecode::kFlagMask;
  tc.FromFrames(0, 30);
  EXPECT_EQ(tc.value, Timecode::kFlagMask);
}

TEST(TimecodeTest, RoundTripsEveryFrameOfADayAtBothRates) {
  for (std::uint32_t fps : {25u, 30u}) {
    for (std::uint32_t frame = 0; frame < 24u * 3600u * fps; frame += 997) {
      Timecode tc;
      tc.FromFrames(frame, fps);
      ASSERT_EQ(tc.ToFrames(fps), frame) << "fps " << fps;
    }
  }
}

TEST(TimecodeTest, FortyHoursAndMoreWrapToStayValidBcd) {
  Timecode tc;
  tc.FromFrames(39u * 3600u * 25u + 24u, 25);
  ExpectBytes(tc, 0x24, 0x00, 0x00, 0x39);
  tc.FromFrames(40u * 3600u * 25u, 25);
  ExpectBytes(tc, 0x00, 0x00, 0x00, 0x00);
  tc.FromFrames(65u * 3600u * 25u + 1u, 25);
  ExpectBytes(tc, 0x01, 0x00, 0x00, 0x25);
  // The largest frame number still gives digits in range.
  tc.FromFrames(0xFFFFFFFFu, 30);
  EXPECT_LE(tc.Hours(), 39);
  EXPECT_LE(tc.Minutes(), 59);
  EXPECT_LE(tc.Seconds(), 59);
  EXPECT_LE(tc.Frames(), 29);
}

TEST(TimecodeTest, FieldsMaskTheFlagBits) {
  Timecode tc = FromWire(0x04, 0x03, 0x02, 0x01);
  tc.value |= Timecode::kFlagMask;
  EXPECT_EQ(tc.Hours(), 1);
  EXPECT_EQ(tc.Minutes(), 2);
  EXPECT_EQ(tc.Seconds(), 3);
  EXPECT_EQ(tc.Frames(), 4);
}

}  // namespace
}  // namespace vxr
