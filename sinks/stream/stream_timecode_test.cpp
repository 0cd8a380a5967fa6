#include "sinks/stream/stream_timecode.h"

#include <gtest/gtest.h>

#include "sinks/stream/bit_writer.h"

namespace vxr {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(StreamTimecodeTest, TheBitWriterPacksFieldsMostSignificantFirstAndPadsWithAOne) {
  CBitWriter bits;
  bits.Write(0x5, 3);  // 101
  bits.WriteBit(false);
  bits.Write(0xabcd, 16);
  EXPECT_FALSE(bits.Aligned());
  EXPECT_EQ(bits.BitCount(), 20u);
  bits.AlignWithOne();
  EXPECT_EQ(bits.Bytes(), (Bytes{0xaa, 0xbc, 0xd8}));
  bits.AlignWithOne();  // already aligned: nothing
  bits.Write(0xffffffffu, 32);
  EXPECT_EQ(bits.Bytes(), (Bytes{0xaa, 0xbc, 0xd8, 0xff, 0xff, 0xff, 0xff}));
}

TEST(StreamTimecodeTest, TimecodeTextIsReadWithHoursModulo24AndNoPictureGivesNone) {
  EXPECT_EQ(ParseStreamTimecode("10:20:30:12"), (StreamTimecode{10, 20, 30, 12}));
  EXPECT_EQ(ParseStreamTimecode("25:00:01:29"), (StreamTimecode{1, 0, 1, 29}));
  EXPECT_EQ(ParseStreamTimecode("39:59:59:24"), (StreamTimecode{15, 59, 59, 24}));
  EXPECT_FALSE(ParseStreamTimecode("--:--:--:--"));
  EXPECT_FALSE(ParseStreamTimecode("10:20:30"));
  EXPECT_FALSE(ParseStreamTimecode("10:61:30:00"));
  EXPECT_FALSE(ParseStreamTimecode("1x:20:30:00"));
}

TEST(StreamTimecodeTest, EmulationPreventionIsAddedAfterTwoZerosAndRemovedAgain) {
  const Bytes rbsp{0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x04, 0x00, 0x00};
  const Bytes escaped{0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x04, 0x00, 0x00};
  EXPECT_EQ(EscapeRbsp(rbsp), escaped);
  EXPECT_EQ(UnescapeRbsp(escaped.data(), escaped.size()), rbsp);
}

// An access unit as x264 writes it with pic-struct=1: a delimiter, an SEI unit holding a
// user-data message and one holding the picture timing (pic_struct 0, no clock timestamp), and
// a slice whose payload has an emulation-prevention byte of its own.
const Bytes kX264Unit{
    0x00, 0x00, 0x00, 0x01, 0x09, 0xf0,                                // access unit delimiter
    0x00, 0x00, 0x00, 0x01, 0x06, 0x05, 0x03, 0xaa, 0xbb, 0xcc, 0x80,  // user data
    0x00, 0x00, 0x01, 0x06, 0x01, 0x01, 0x04, 0x80,                    // picture timing
    0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x00, 0x00, 0x03, 0x01, 0x7f,  // slice
};

TEST(StreamTimecodeTest, TheH264PictureTimingGetsAFullClockTimestampAndTheRestIsKept) {
  Bytes unit = kX264Unit;
  ASSERT_TRUE(SetH264PictureTimecode(&unit, StreamTimecode{10, 20, 30, 12}));
  // pic_struct 0; clock_timestamp_flag 1, ct_type 0, nuit_field_based 1, counting_type 0,
  // full_timestamp 1, discontinuity 0, cnt_dropped 0, n_frames 12, seconds 30, minutes 20,
  // hours 10, time_offset 0 (24 bits); a one and six zeros to the byte: 09 04 0c 79 45 00 00 00
  // 40, whose three zeros take an emulation-prevention byte.
  const Bytes expected{
      0x00, 0x00, 0x00, 0x01, 0x09, 0xf0, 0x00, 0x00, 0x00, 0x01, 0x06, 0x05, 0x03, 0xaa, 0xbb,
      0xcc, 0x80, 0x00, 0x00, 0x01, 0x06, 0x01, 0x09, 0x09, 0x04, 0x0c, 0x79, 0x45, 0x00, 0x00,
      0x03, 0x00, 0x40, 0x80, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x00, 0x00, 0x03, 0x01, 0x7f,
  };
  EXPECT_EQ(unit, expected);

  // Rewritten again (the same unit for another picture): the message is replaced, not added.
  ASSERT_TRUE(SetH264PictureTimecode(&unit, StreamTimecode{23, 59, 59, 29}));
  Bytes again = kX264Unit;
  ASSERT_TRUE(SetH264PictureTimecode(&again, StreamTimecode{23, 59, 59, 29}));
  EXPECT_EQ(unit, again);
  EXPECT_EQ(unit.size(), expected.size() - 1);  // no zero run: no emulation prevention

  // A unit without picture timing is left as it is.
  Bytes slice_only(kX264Unit.begin() + 25, kX264Unit.end());
  const Bytes before = slice_only;
  EXPECT_FALSE(SetH264PictureTimecode(&slice_only, StreamTimecode{1, 2, 3, 4}));
  EXPECT_EQ(slice_only, before);
}

TEST(StreamTimecodeTest, TheMpeg2GopHeaderCarriesTheTimecodeAndKeepsItsFlags) {
  // A sequence header's end, then a GOP header with the encoder's count 00:00:01:23 (closed,
  // not broken), then a picture start code.
  Bytes data{0x10, 0x00, 0x00, 0x01, 0xb8, 0x00, 0x08, 0x2b,
             0xc0, 0x00, 0x00, 0x01, 0x00, 0x00, 0x0f};
  ASSERT_TRUE(SetMpeg2GopTimecode(data.data(), data.size(), StreamTimecode{1, 2, 3, 4}));
  // drop 0, hours 00001, minutes 000010, marker 1, seconds 000011, pictures 000100, closed 1,
  // broken 0, five zeros.
  EXPECT_EQ(data, (Bytes{0x10, 0x00, 0x00, 0x01, 0xb8, 0x04, 0x28, 0x62, 0x40, 0x00, 0x00, 0x01,
                         0x00, 0x00, 0x0f}));
  Bytes no_gop{0x00, 0x00, 0x01, 0x00, 0x00, 0x0f, 0xff, 0xf8};
  EXPECT_FALSE(SetMpeg2GopTimecode(no_gop.data(), no_gop.size(), StreamTimecode{}));
}

}  // namespace
}  // namespace vxr
