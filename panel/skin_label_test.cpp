#include "panel/skin_label.h"

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <climits>
#include <string>

#include "panel/skin_test_support.h"

// Fontconfig keeps a cache that it frees only when the process ends; the leak checker of the
// sanitizer build is told about that one library, nothing else.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

namespace vxr {
namespace {

using testing::CommandRecorder;
using testing::GrabbedColour;
using testing::PressAt;
using testing::ReleaseAt;
using testing::ShowExposed;
using testing::SkinFolder;

// Ten pixels per character, whatever the font: FitText's result then depends on counting only.
int TenPerCharacter(std::string_view text) {
  int characters = 0;
  for (char c : text) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return 10 * characters;
}

std::string Fit(std::string text, int width) {
  FitText(&text, width, TenPerCharacter);
  return text;
}

TEST(FitTextTest, TextThatFitsIsUnchanged) {
  EXPECT_EQ(Fit("C:\\tapes\\a.avi", 140), "C:\\tapes\\a.avi");
  EXPECT_EQ(Fit("", 0), "");
}

TEST(FitTextTest, DrivePrefixStaysAndCharactersAfterTheDotsGo) {
  EXPECT_EQ(Fit("C:\\abcdefgh", 80), "C:\\...gh");
  EXPECT_EQ(Fit("C:\\abcdefgh", 100), "C:\\...efgh");
  // Nothing fits: the prefix and the dots remain.
  EXPECT_EQ(Fit("C:\\abcdefgh", 10), "C:\\...");
}

TEST(FitTextTest, WithoutDriveTheFirstThreeCharactersBecomeDots) {
  EXPECT_EQ(Fit("/home/user/tape.avi", 100), "...ape.avi");
  EXPECT_EQ(Fit("abcd", 0), "...");
  EXPECT_EQ(Fit("ab", 0), "..");
}

TEST(FitTextTest, MultiByteCharacterAmongTheReplacedThreeBecomesOneDot) {
  // x, П (two bytes), y become three single-byte dots.
  EXPECT_EQ(Fit("xПyz1234", 79), "...1234");
  EXPECT_EQ(Fit("abП1234", 69), "...234");
  // Characters after the dots are deleted whole.
  EXPECT_EQ(Fit("abcЖЖЖ12", 70), "...ЖЖ12");
  EXPECT_EQ(Fit("abcЖЖЖ12", 60), "...Ж12");
  EXPECT_EQ(Fit("abcЖЖЖ12", 50), "...12");
}

TEST(FitTextTest, ShortAndBrokenTextsAreSafe) {
  EXPECT_EQ(Fit("C:", 0), "C:");
  EXPECT_EQ(Fit("C:\\", 0), "C:\\");
  EXPECT_EQ(Fit("C:\xD0", 0), "C:\xD0");
  // A prefix that would end inside a character keeps the character.
  EXPECT_EQ(Fit("C:ЖabcdZ", 70), "C:Ж...Z");
  // A cut sequence at the end and stray continuation bytes count byte by byte.
  const std::string broken = "\x80\x80xyzw\xE2\x82";
  const std::string fitted = Fit(broken, 40);
  EXPECT_EQ(fitted, "...\xE2\x82");
}

TEST(FitTextTest, TextsLongerThan511BytesKeepTheirEnd) {
  std::string path = "/";
  for (int i = 0; i < 300; ++i) path += "folder/";
  path += "tape.avi";
  ASSERT_GT(path.size(), 2000u);
  EXPECT_EQ(Fit(path, 160), "...lder/tape.avi");
  // Measurements stay few: not one per deleted character of a huge text.
  std::string huge(200000, 'x');
  huge += "/end.avi";
  int measurements = 0;
  FitText(&huge, 120, [&measurements](std::string_view t) {
    ++measurements;
    return TenPerCharacter(t);
  });
  EXPECT_EQ(huge, "...x/end.avi");
  EXPECT_LT(measurements, 600);
  // A cut that would land inside a character moves past it.
  std::string wide = "ab";
  for (int i = 0; i < 400; ++i) wide += "Ж";
  wide += "tail";
  EXPECT_EQ(Fit(wide, 90), "...ЖЖtail");
}

class LabelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnsureQtApplication();
    folder_.WriteSolid("label.bmp", 200, 24, {10, 20, 30});
  }
  bool Load(CSkinLabel* label, int mode = kCommandOnRelease) {
    return label->LoadLabel(folder_.Dir(), "label.bmp", "", -12, 0, 255, 255, 255, mode);
  }
  // Whether any pixel of the label differs from its background colour.
  static bool ShowsText(QWidget* label) {
    const QImage image = label->grab().toImage();
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        if (image.pixelColor(x, y) != QColor(10, 20, 30)) return true;
      }
    }
    return false;
  }
  SkinFolder folder_;
};

TEST_F(LabelTest, LoadedLabelShowsItsBackgroundAndTheInitialText) {
  CommandRecorder panel;
  CSkinLabel label;
  label.Create(&panel, kLabelIdBase, 3, 4);
  ASSERT_TRUE(Load(&label));
  EXPECT_EQ(label.geometry(), QRect(3, 4, 200, 24));
  EXPECT_EQ(label.Text(), "Пусто");
  EXPECT_EQ(GrabbedColour(&label, 1, 1), QColor(10, 20, 30));
  EXPECT_TRUE(ShowsText(&label));
  label.SetText("", false);
  EXPECT_FALSE(ShowsText(&label));
}

TEST_F(LabelTest, ColourTakesTheLowEightBitsAndFailureLeavesItNotLoaded) {
  CSkinLabel label;
  ASSERT_TRUE(
      label.LoadLabel(folder_.Dir(), "label.bmp", "Sans", 0, 3, 0x1FF, 0x280, -1, kCommandOnPress));
  EXPECT_EQ(label.TextColor(), QColor(0xFF, 0x80, 0xFF));
  EXPECT_EQ(label.CommandMode(), kCommandOnPress);
  EXPECT_FALSE(label.LoadLabel(folder_.Dir(), "none.bmp", "", 0, 0, 0, 0, 0, 1));
  EXPECT_FALSE(label.IsLoaded());
  EXPECT_FALSE(label.HasFont());
  EXPECT_FALSE(label.Image().IsLoaded());
}

TEST_F(LabelTest, SetTextFitsOnlyWhenAskedAndWhenTooWide) {
  CSkinLabel label;
  ASSERT_TRUE(Load(&label));
  label.SetText("/a.avi", true);
  EXPECT_EQ(label.Text(), "/a.avi");
  std::string long_path = "/media/archive";
  for (int i = 0; i < 40; ++i) long_path += "/programme";
  long_path += "/final.avi";
  label.SetText(long_path, false);
  EXPECT_EQ(label.Text(), long_path);
  label.SetText(long_path, true);
  const std::string& fitted = label.Text();
  EXPECT_LT(fitted.size(), long_path.size());
  EXPECT_EQ(fitted.substr(0, 3), "...");
  EXPECT_EQ(long_path.substr(long_path.size() - (fitted.size() - 3)), fitted.substr(3));
  EXPECT_LE(
      QFontMetrics(MakeSkinFont("", -12, 0)).horizontalAdvance(QString::fromStdString(fitted)),
      label.width());
}

TEST_F(LabelTest, LabelWithoutImageStoresTextAndPaintsNothing) {
  struct Counting : CSkinLabel {
    int paints = 0;
    void paintEvent(QPaintEvent* event) override {
      ++paints;
      CSkinLabel::paintEvent(event);
    }
  } label;
  label.resize(30, 10);
  ASSERT_TRUE(ShowExposed(&label));
  label.paints = 0;
  label.SetText("/some/long/path/that/would/not/fit.avi", true);
  EXPECT_EQ(label.paints, 0);
  EXPECT_EQ(label.Text(), "/some/long/path/that/would/not/fit.avi");
  EXPECT_EQ(GrabbedColour(&label, 2, 2), QColor(128, 128, 128));
}

TEST_F(LabelTest, ClicksSendTheCommandByModeAndNeverChangeTheLook) {
  for (int mode : {kCommandOnRelease, kCommandOnPress}) {
    CommandRecorder panel;
    CSkinLabel label;
    label.Create(&panel, kLabelIdBase, 0, 0);
    ASSERT_TRUE(Load(&label, mode));
    ASSERT_TRUE(ShowExposed(&panel));
    const QImage before = label.grab().toImage();
    PressAt(&panel, QPoint(5, 5));
    EXPECT_EQ(panel.ids.size(), mode == kCommandOnPress ? 1u : 0u);
    EXPECT_EQ(label.grab().toImage(), before);
    ReleaseAt(&panel, QPoint(250, 150));
    EXPECT_EQ(panel.ids, std::vector<int>{kLabelIdBase});
  }
}

TEST_F(LabelTest, FontHeightFollowsTheSkinsSigns) {
  EXPECT_EQ(MakeSkinFont("", -17, 0).pixelSize(), 17);
  const QFont cell = MakeSkinFont("", 20, CSkinLabel::kStyleBold | CSkinLabel::kStyleItalic);
  const QFontMetrics metrics(cell);
  EXPECT_LE(metrics.ascent() + metrics.descent(), 20);
  EXPECT_TRUE(cell.bold());
  EXPECT_TRUE(cell.italic());
  EXPECT_FALSE(MakeSkinFont("", 0, 0).bold());
  // Heights beyond the bound, of either sign, are held at it.
  EXPECT_EQ(MakeSkinFont("", INT_MIN, 0).pixelSize(), kMaxSkinFontHeight);
  EXPECT_EQ(MakeSkinFont("", -100000, 0).pixelSize(), kMaxSkinFontHeight);
  EXPECT_LE(MakeSkinFont("", 100000, 0).pixelSize(), kMaxSkinFontHeight);
}

}  // namespace
}  // namespace vxr
