#include "panel/skin_indicator.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "panel/skin_button.h"
#include "panel/skin_test_support.h"

namespace vxr {
namespace {

using testing::CommandRecorder;
using testing::GrabbedColour;
using testing::PressAt;
using testing::ReleaseAt;
using testing::ShowExposed;
using testing::SkinFolder;

template <class Base>
class Counting : public Base {
 public:
  int paints = 0;

 protected:
  void paintEvent(QPaintEvent* event) override {
    ++paints;
    Base::paintEvent(event);
  }
};

// State images of one size and four distinct colours: red, green, blue, yellow for images 0-3.
const QColor kImageColour[4] = {QColor(200, 0, 0), QColor(0, 200, 0), QColor(0, 0, 200),
                                QColor(200, 200, 0)};

class IndicatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnsureQtApplication();
    for (int i = 0; i < 4; ++i) {
      const QColor c = kImageColour[i];
      folder_.WriteSolid(names_[i], 20, 10,
                         {static_cast<std::uint8_t>(c.red()), static_cast<std::uint8_t>(c.green()),
                          static_cast<std::uint8_t>(c.blue())});
    }
  }

  std::span<const std::string> Names(int count) const {
    return {names_.data(), static_cast<std::size_t>(count)};
  }

  testing::QtApplicationGuard qt_;
  SkinFolder folder_;
  std::array<std::string, 4> names_{"s0.bmp", "s1.bmp", "s2.bmp", "s3.bmp"};
};

TEST_F(IndicatorTest, LoadSizesTheControlAndShowsTheLampState) {
  CommandRecorder panel;
  CSkinIndicator lamp;
  lamp.Create(&panel, kIndicatorIdBase + 1, 5, 6);
  ASSERT_TRUE(lamp.LoadImages(folder_.Dir(), Names(2)));
  EXPECT_TRUE(lamp.IsLoaded());
  EXPECT_EQ(lamp.geometry(), QRect(5, 6, 20, 10));
  EXPECT_EQ(lamp.StateMask(), 1);
  EXPECT_EQ(GrabbedColour(&lamp, 3, 3), kImageColour[0]);
  lamp.SetLamp(true);
  EXPECT_EQ(GrabbedColour(&lamp, 3, 3), kImageColour[1]);
  // Held down is a button's business: the lamp's picture stays.
  lamp.SetPressed(true);
  EXPECT_EQ(lamp.State(), CSkinIndicator::kLit | CSkinIndicator::kHeldDown);
  EXPECT_EQ(GrabbedColour(&lamp, 3, 3), kImageColour[1]);
}

TEST_F(IndicatorTest, StateChangesRepaintOnlyWhenABitChanges) {
  Counting<CSkinIndicator> lamp;
  ASSERT_TRUE(lamp.LoadImages(folder_.Dir(), Names(2)));
  ASSERT_TRUE(ShowExposed(&lamp));
  lamp.paints = 0;
  lamp.SetLamp(true);
  lamp.SetLamp(true);
  EXPECT_EQ(lamp.paints, 1);
  lamp.SetLamp(false);
  EXPECT_EQ(lamp.paints, 2);
  lamp.SetPressed(false);
  EXPECT_EQ(lamp.paints, 2);
}

TEST_F(IndicatorTest, ControlWithoutImagesKeepsStateAndPaintsGrey) {
  Counting<CSkinIndicator> lamp;
  lamp.resize(12, 12);
  ASSERT_TRUE(ShowExposed(&lamp));
  lamp.paints = 0;
  lamp.SetLamp(true);
  lamp.SetPressed(true);
  EXPECT_EQ(lamp.paints, 0);
  EXPECT_EQ(lamp.State(), 3);
  EXPECT_EQ(GrabbedColour(&lamp, 6, 6), QColor(128, 128, 128));
}

TEST_F(IndicatorTest, ImageOfAnotherSizeFailsTheLoadAndReleasesWhatWasRead) {
  folder_.WriteSolid("tall.bmp", 20, 11, {1, 2, 3});
  CSkinButton button;
  const std::string names[4] = {"s0.bmp", "s1.bmp", "tall.bmp", "s3.bmp"};
  EXPECT_FALSE(button.LoadImages(folder_.Dir(), names, kCommandOnRelease));
  EXPECT_FALSE(button.IsLoaded());
  EXPECT_FALSE(button.Image(0).IsLoaded());
  EXPECT_FALSE(button.Image(1).IsLoaded());
  const std::string missing[2] = {"s0.bmp", "nothing.bmp"};
  EXPECT_FALSE(button.LoadImages(folder_.Dir(), missing));
  EXPECT_FALSE(button.Image(0).IsLoaded());
}

TEST_F(IndicatorTest, ReleaseImagesClearsStateAndMask) {
  CSkinButton button;
  ASSERT_TRUE(button.LoadImages(folder_.Dir(), Names(4), kCommandOnRelease));
  EXPECT_EQ(button.StateMask(), 3);
  button.SetLamp(true);
  button.ReleaseImages();
  EXPECT_FALSE(button.IsLoaded());
  EXPECT_EQ(button.State(), 0);
  EXPECT_EQ(button.StateMask(), 0);
  EXPECT_FALSE(button.Image(3).IsLoaded());
}

class ButtonTest : public IndicatorTest {
 protected:
  void Make(int mode) {
    button_.Create(&panel_, kButtonIdBase + 5, 40, 30);
    ASSERT_TRUE(button_.LoadImages(folder_.Dir(), Names(4), mode));
    ASSERT_TRUE(ShowExposed(&panel_));
  }
  CommandRecorder panel_;
  CSkinButton button_;
  const QPoint inside_{45, 35};
};

TEST_F(ButtonTest, LitButtonShowsImageThreeWhileHeldAndOneWhenReleased) {
  Make(kCommandOnRelease);
  button_.SetLamp(true);
  PressAt(&panel_, inside_);
  EXPECT_EQ(button_.State(), 3);
  EXPECT_EQ(GrabbedColour(&button_, 2, 2), kImageColour[3]);
  ReleaseAt(&panel_, inside_);
  EXPECT_EQ(GrabbedColour(&button_, 2, 2), kImageColour[1]);
  button_.SetLamp(false);
  PressAt(&panel_, inside_);
  EXPECT_EQ(GrabbedColour(&button_, 2, 2), kImageColour[2]);
  ReleaseAt(&panel_, inside_);
  EXPECT_EQ(GrabbedColour(&button_, 2, 2), kImageColour[0]);
}

TEST_F(ButtonTest, UpperCaseButtonSendsOnceOnReleaseEvenFarOutside) {
  Make(kCommandOnRelease);
  PressAt(&panel_, inside_);
  EXPECT_TRUE(panel_.ids.empty());
  QTest::mouseMove(panel_.windowHandle(), QPoint(-400, 900));
  ReleaseAt(&panel_, QPoint(-400, 900));
  EXPECT_EQ(panel_.ids, std::vector<int>{1025});
  EXPECT_EQ(button_.State() & CSkinIndicator::kHeldDown, 0);
}

TEST_F(ButtonTest, LowerCaseButtonSendsOnPressOnly) {
  Make(kCommandOnPress);
  PressAt(&panel_, inside_);
  EXPECT_EQ(panel_.ids, std::vector<int>{1025});
  ReleaseAt(&panel_, inside_);
  EXPECT_EQ(panel_.ids, std::vector<int>{1025});
}

TEST_F(ButtonTest, RightButtonDoesNothing) {
  Make(kCommandOnPress);
  QTest::mousePress(panel_.windowHandle(), Qt::RightButton, Qt::NoModifier, inside_);
  QTest::mouseRelease(panel_.windowHandle(), Qt::RightButton, Qt::NoModifier, inside_);
  EXPECT_TRUE(panel_.ids.empty());
  EXPECT_EQ(button_.State(), 0);
}

}  // namespace
}  // namespace vxr
