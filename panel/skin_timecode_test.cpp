#include "panel/skin_timecode.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "panel/skin_test_support.h"

namespace vxr {
namespace {

using testing::PixelOf;
using testing::Rgb;
using testing::ShowExposed;
using testing::SkinFolder;

constexpr Rgb kBackground{10, 10, 10};
constexpr Rgb kSeparator{250, 250, 0};
constexpr Rgb kMinus{250, 0, 250};
Rgb DigitColour(int d) { return Rgb{static_cast<std::uint8_t>(100 + d), 0, 0}; }

class CountingTimecode : public CSkinTimecode {
 public:
  int paints = 0;

 protected:
  void paintEvent(QPaintEvent* event) override {
    ++paints;
    CSkinTimecode::paintEvent(event);
  }
};

// Digits 8 x 10, separator 4 x 10, minus 6 x 10: the row is 6 + 8 * 8 + 3 * 4 = 82 wide.
class TimecodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnsureQtApplication();
    for (int d = 0; d <= 9; ++d) {
      folder_.WriteSolid("tc" + std::to_string(d) + ".bmp", 8, 10, DigitColour(d));
    }
    folder_.WriteSolid("sep.bmp", 4, 10, kSeparator);
    folder_.WriteSolid("minus.bmp", 6, 10, kMinus);
    folder_.WriteSolid("back.bmp", 120, 20, kBackground);
    folder_.WriteSolid("narrow.bmp", 40, 20, kBackground);
  }
  bool Load(CSkinTimecode* display, const std::string& background = "back.bmp") {
    return display->LoadTimecode(folder_.Dir(), background, "tc0.bmp", "minus.bmp", "sep.bmp");
  }
  SkinFolder folder_;
};

TEST(DigitImageNameTest, ReplacesTheCharacterBeforeTheExtensionOrTheFirst) {
  EXPECT_EQ(DigitImageName("digit0.bmp", 7), "digit7.bmp");
  EXPECT_EQ(DigitImageName("tc/d.0.bmp", 3), "tc/d.3.bmp");
  EXPECT_EQ(DigitImageName("0digits", 9), "9digits");
  EXPECT_EQ(DigitImageName(".0", 5), "50");  // a leading dot is not an extension
  EXPECT_EQ(DigitImageName("", 5), "");
}

TEST_F(TimecodeTest, SetTimeClampsAndTakesTheSignFromTheHours) {
  CSkinTimecode display;
  EXPECT_EQ(display.Text(), "00:00:00:00");
  display.SetTime(-1, 2, 3, 4);
  EXPECT_EQ(display.Text(), "01:02:03:04");
  EXPECT_TRUE(display.IsNegative());
  display.SetTime(25, 61, -3, 31);
  EXPECT_EQ(display.Text(), "24:59:00:29");
  EXPECT_FALSE(display.IsNegative());
  display.SetTime(-30, 0, 0, 0);
  EXPECT_EQ(display.Text(), "24:00:00:00");
  EXPECT_TRUE(display.IsNegative());
}

TEST_F(TimecodeTest, RepaintsOnlyWhenTheValueChanges) {
  CountingTimecode display;
  ASSERT_TRUE(Load(&display));
  ASSERT_TRUE(ShowExposed(&display));
  display.paints = 0;
  display.SetTime(0, 0, 0, 0);
  EXPECT_EQ(display.paints, 0);
  display.SetTime(1, 2, 3, 4);
  display.SetTime(1, 2, 3, 4);
  display.SetTime(1, 2, 3, 99);
  display.SetTime(1, 2, 3, 29);
  EXPECT_EQ(display.paints, 2);
}

TEST_F(TimecodeTest, ComposesTheRowCentredWithTheSignsPlaceKept) {
  CSkinTimecode display;
  ASSERT_TRUE(Load(&display));
  EXPECT_EQ(display.size(), QSize(120, 20));
  display.SetTime(12, 34, 56, 7);
  SkinImage readout;
  ASSERT_TRUE(display.Compose(&readout));
  // x0 = (120 - 82) / 2 = 19, y0 = (20 - 10) / 2 = 5; the sign's place shows the background.
  EXPECT_EQ(PixelOf(readout, 19, 5), kBackground);
  EXPECT_EQ(PixelOf(readout, 25, 5), DigitColour(1));
  EXPECT_EQ(PixelOf(readout, 33, 14), DigitColour(2));
  EXPECT_EQ(PixelOf(readout, 41, 5), kSeparator);
  EXPECT_EQ(PixelOf(readout, 45, 5), DigitColour(3));
  EXPECT_EQ(PixelOf(readout, 25 + 82 - 6 - 1, 5), DigitColour(7));
  EXPECT_EQ(PixelOf(readout, 25, 4), kBackground);
  EXPECT_EQ(PixelOf(readout, 25, 15), kBackground);

  display.SetTime(-12, 34, 56, 7);
  ASSERT_TRUE(display.Compose(&readout));
  EXPECT_EQ(PixelOf(readout, 19, 5), kMinus);
  EXPECT_EQ(PixelOf(readout, 25, 5), DigitColour(1));  // the digits did not move
  // What is painted is what was composed.
  const QImage painted = display.grab().toImage();
  EXPECT_EQ(painted.pixelColor(19, 5), QColor(kMinus.r, kMinus.g, kMinus.b));
  EXPECT_EQ(painted.pixelColor(41, 5), QColor(kSeparator.r, kSeparator.g, kSeparator.b));
}

TEST_F(TimecodeTest, NarrowBackgroundCutsTheRowOnBothSides) {
  CSkinTimecode display;
  ASSERT_TRUE(Load(&display, "narrow.bmp"));
  display.SetTime(-12, 34, 56, 7);
  SkinImage readout;
  ASSERT_TRUE(display.Compose(&readout));
  // x0 = (40 - 82) / 2 = -21: the minus sign and the first 15 pixels of the digits are cut.
  // Column 0 is column 21 of the row: digit "2" (row 14..21), its last column.
  EXPECT_EQ(PixelOf(readout, 0, 5), DigitColour(2));
  EXPECT_EQ(PixelOf(readout, 1, 5), kSeparator);
  EXPECT_EQ(PixelOf(readout, 39, 5), DigitColour(6));  // row column 60: in the third pair
}

TEST_F(TimecodeTest, GlyphsOfNoHeightAndHugeWidthAreLaidOutWithoutOverflow) {
  // Minus sign and separator INT_MAX wide, 0 high: the row is 4 * INT_MAX + 64 wide, centred
  // on the background, so only the digits around its middle ("34", just left of the second
  // separator) fall on it: x0 = (120 - row) / 2 = 28 - 2 * INT_MAX puts them at 44 and 52.
  SkinImage wide;
  ASSERT_TRUE(wide.Allocate(INT_MAX, 0));
  folder_.WriteImage("wide.bmp", wide);
  CSkinTimecode display;
  ASSERT_TRUE(display.LoadTimecode(folder_.Dir(), "back.bmp", "tc0.bmp", "wide.bmp", "wide.bmp"));
  display.SetTime(12, 34, 56, 7);
  SkinImage readout;
  ASSERT_TRUE(display.Compose(&readout));
  EXPECT_EQ(PixelOf(readout, 44, 5), DigitColour(3));
  EXPECT_EQ(PixelOf(readout, 59, 5), DigitColour(4));
  EXPECT_EQ(PixelOf(readout, 43, 5), kBackground);
  // The last pair lies 2 * INT_MAX to the right; summed in 32 bits it wraps onto the picture.
  for (int x = 60; x < 120; ++x) EXPECT_EQ(PixelOf(readout, x, 5), kBackground) << x;
}

TEST_F(TimecodeTest, DigitOfAnotherSizeOrAMissingImageFailsTheLoad) {
  CSkinTimecode display;
  folder_.WriteSolid("tc7.bmp", 9, 10, DigitColour(7));
  EXPECT_FALSE(Load(&display));
  EXPECT_FALSE(display.IsLoaded());
  SkinImage readout;
  EXPECT_FALSE(display.Compose(&readout));
  folder_.WriteSolid("tc7.bmp", 8, 10, DigitColour(7));
  EXPECT_TRUE(Load(&display));
  EXPECT_FALSE(display.LoadTimecode(folder_.Dir(), "back.bmp", "tc0.bmp", "minus.bmp", "x.bmp"));
  EXPECT_FALSE(display.IsLoaded());
  EXPECT_FALSE(display.LoadTimecode(folder_.Dir(), "back.bmp", "", "minus.bmp", "sep.bmp"));
}

TEST_F(TimecodeTest, TimeSetBeforeLoadingIsShownAndSurvivesRelease) {
  CSkinTimecode display;
  display.resize(50, 20);
  EXPECT_EQ(display.grab().toImage().pixelColor(5, 5), QColor(128, 128, 128));
  display.SetTime(0, 0, 0, 9);
  ASSERT_TRUE(Load(&display));
  SkinImage readout;
  ASSERT_TRUE(display.Compose(&readout));
  EXPECT_EQ(PixelOf(readout, 25 + 82 - 6 - 1, 5), DigitColour(9));
  display.ReleaseImages();
  EXPECT_EQ(display.Text(), "00:00:00:09");
  EXPECT_FALSE(display.IsLoaded());
}

}  // namespace
}  // namespace vxr
