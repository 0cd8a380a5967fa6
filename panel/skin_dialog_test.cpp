#include "panel/skin_dialog.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QMouseEvent>
#include <QTimer>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "panel/skin_test_support.h"

namespace vxr {
namespace {

using testing::PixelOf;
using testing::Rgb;
using testing::ShowExposed;
using testing::SkinFolder;

constexpr Rgb kBackground{30, 60, 90};

// Records every message box instead of showing it.
class RecordingPrompter : public CPanelPrompter {
 public:
  struct Message {
    std::string caption, text;
    MessageIcon icon;
  };
  int ShowMessage(QWidget*, const std::string& caption, const std::string& text,
                  MessageIcon icon) override {
    messages.push_back({caption, text, icon});
    return kOk;
  }
  std::vector<Message> messages;
};

// A folder with one image of each kind:
//   bg.bmp 300 x 200; b0..b3.bmp 20 x 10; l0, l1.bmp 8 x 8; lab.bmp 100 x 16;
//   tc back 60 x 20, digits d0..d9.bmp 5 x 8, minus and colon 3 x 8.
class SkinFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnsureQtApplication();
    WriteImages(folder_, "");
  }

  static void WriteImages(const SkinFolder& folder, const std::string& sub) {
    if (!sub.empty()) std::filesystem::create_directories(folder.Path(sub));
    folder.WriteSolid(sub + "bg.bmp", 300, 200, kBackground);
    for (int i = 0; i < 4; ++i) {
      folder.WriteSolid(sub + "b" + std::to_string(i) + ".bmp", 20, 10,
                        {static_cast<std::uint8_t>(50 * i), 200, 0});
    }
    folder.WriteSolid(sub + "l0.bmp", 8, 8, {0, 0, 0});
    folder.WriteSolid(sub + "l1.bmp", 8, 8, {0, 255, 0});
    folder.WriteSolid(sub + "lab.bmp", 100, 16, {0, 0, 40});
    folder.WriteSolid(sub + "tcback.bmp", 60, 20, {0, 0, 0});
    for (int d = 0; d <= 9; ++d) {
      folder.WriteSolid(sub + "d" + std::to_string(d) + ".bmp", 5, 8, {200, 0, 0});
    }
    folder.WriteSolid(sub + "minus.bmp", 3, 8, {200, 0, 0});
    folder.WriteSolid(sub + "colon.bmp", 3, 8, {200, 0, 0});
  }

  // Parses a skin written into the folder; returns the result, the message in message_.
  int Parse(const std::string& text, const std::string& name = "test.skn") {
    folder_.WriteText(name, text);
    return ParsePath(folder_.Path(name));
  }
  int ParsePath(const std::string& path) {
    char error[CSkinDialog::kErrorTextBytes];
    std::memset(error, 'x', sizeof error);
    const int result = dialog_.ParseSkin(path, error, sizeof error);
    message_ = error;
    return result;
  }

  testing::QtApplicationGuard qt_;
  SkinFolder folder_;
  CSkinDialog dialog_;
  std::string message_;
};

const char kButton[] = "B1 10 20 b0.bmp b1.bmp b2.bmp b3.bmp\n";

TEST(SkinPathTest, ExtensionOfTheFileNameBecomesSkn) {
  EXPECT_EQ(SkinPathForExecutable("/usr/bin/vxrdeck"), "/usr/bin/vxrdeck.skn");
  EXPECT_EQ(SkinPathForExecutable("/opt/deck/vxrdeck.bin"), "/opt/deck/vxrdeck.skn");
  EXPECT_EQ(SkinPathForExecutable("/opt/deck/vxr.deck.bin"), "/opt/deck/vxr.skn");
  // Folders whose names begin with or contain a dot do not count.
  EXPECT_EQ(SkinPathForExecutable("/home/a/.local/bin/vxrdeck"), "/home/a/.local/bin/vxrdeck.skn");
  EXPECT_EQ(SkinPathForExecutable("/srv/v1.2/vxrdeck"), "/srv/v1.2/vxrdeck.skn");
  EXPECT_EQ(SkinPathForExecutable("vxrdeck"), "vxrdeck.skn");
}

TEST_F(SkinFixture, CompleteSkinBuildsEveryControlAndSizesThePanel) {
  const int result = Parse(
      "Any line that is not a keyword or record is a comment.\r\n"
      "base bg.bmp\r\n"
      "B1 10 20 b0.bmp b1.bmp b2.bmp b3.bmp\r\n"
      "b2 40 20 b0.bmp b1.bmp b2.bmp b3.bmp\r\n"
      "I3 70 20 l0.bmp l1.bmp\r\n"
      "L0 10 50 lab.bmp 255 255 0 -12 1 \"DejaVu Sans Mono\"\r\n"
      "l4 10 70 lab.bmp 1 2 3 0 0 face\r\n"
      "T0 100 100 tcback.bmp d0.bmp minus.bmp colon.bmp\r\n");
  ASSERT_EQ(result, 0) << message_;
  EXPECT_EQ(message_, "");
  EXPECT_EQ(dialog_.size(), QSize(300, 200));
  EXPECT_EQ(dialog_.Button(1).geometry(), QRect(10, 20, 20, 10));
  EXPECT_EQ(dialog_.Button(1).ControlId(), 1021);
  EXPECT_EQ(dialog_.Button(1).CommandMode(), kCommandOnRelease);
  EXPECT_EQ(dialog_.Button(2).CommandMode(), kCommandOnPress);
  EXPECT_EQ(dialog_.Indicator(3).ControlId(), 1013);
  EXPECT_TRUE(dialog_.Indicator(3).IsLoaded());
  EXPECT_EQ(dialog_.Label(0).ControlId(), 1030);
  EXPECT_EQ(dialog_.Label(0).Font().family(), "DejaVu Sans Mono");
  EXPECT_TRUE(dialog_.Label(0).Font().bold());
  EXPECT_EQ(dialog_.Label(0).TextColor(), QColor(255, 255, 0));
  EXPECT_EQ(dialog_.Label(4).Font().family(), QFont().family());  // no quotes: no face
  EXPECT_EQ(dialog_.Label(4).CommandMode(), kCommandOnPress);
  EXPECT_EQ(dialog_.Timecode().geometry(), QRect(100, 100, 60, 20));
  EXPECT_EQ(dialog_.Timecode().ControlId(), 1040);
  EXPECT_FALSE(dialog_.Button(0).IsCreated());
  EXPECT_FALSE(dialog_.Button(0).IsLoaded());
  EXPECT_EQ(dialog_.grab().toImage().pixelColor(250, 10), QColor(30, 60, 90));
}

TEST_F(SkinFixture, MissingFileOrBackgroundGiveTheirMessages) {
  const int result = ParsePath(folder_.Path("none.skn"));
  EXPECT_EQ(result, static_cast<int>(message_.size()) + 1);
  EXPECT_EQ(message_, "Can not open skin file '" + folder_.Path("none.skn") + "'");

  ParsePath(folder_.Dir());  // a folder is not a skin file
  EXPECT_EQ(message_, "Can not open skin file '" + folder_.Dir() + "'");

  const std::string no_base = "Skin has not background image (keyword : 'base')";
  EXPECT_EQ(Parse(std::string(kButton)), static_cast<int>(no_base.size()) + 1);
  EXPECT_EQ(message_, no_base);
  Parse("base\n" + std::string(kButton));  // no value
  EXPECT_EQ(message_, no_base);
  Parse("Base bg.bmp\n");  // the keyword is case-sensitive
  EXPECT_EQ(message_, no_base);
  Parse(" base bg.bmp\n");  // a leading blank makes it a comment
  EXPECT_EQ(message_, no_base);

  Parse("base missing.bmp\n");
  EXPECT_EQ(message_, "Can not load background image 'missing.bmp'");
  EXPECT_FALSE(dialog_.Background().IsLoaded());
  folder_.WriteText("text.bmp", std::string(100, 'B'));
  Parse("base text.bmp\n");
  EXPECT_EQ(message_, "Can not load background image 'text.bmp'");
}

TEST_F(SkinFixture, KeywordsAreTheFirstFourCharactersAndTheLastBaseWins) {
  ASSERT_EQ(Parse("base missing.bmp\nbasement bg.bmp\nBase other.bmp 1 2 3 4 5 6\n"), 0)
      << message_;
  EXPECT_EQ(dialog_.Background().Width(), 300);
  for (int i = 0; i < CSkinDialog::kControlsPerKind; ++i)
    EXPECT_FALSE(dialog_.Button(i).IsCreated());
}

TEST_F(SkinFixture, ControlFailuresNameTheRecordAndKeepWhatCameBefore) {
  folder_.WriteSolid("tall.bmp", 20, 11, {1, 1, 1});
  Parse("base bg.bmp\nI0 1 1 l0.bmp l1.bmp\nB2 5 5 b0.bmp b1.bmp tall.bmp b3.bmp\n");
  EXPECT_EQ(message_, "Can not load button # 2");
  EXPECT_TRUE(dialog_.Indicator(0).IsLoaded());
  EXPECT_TRUE(dialog_.Button(2).IsCreated());
  EXPECT_FALSE(dialog_.Button(2).IsLoaded());
  EXPECT_EQ(dialog_.size(), QSize(300, 200));

  Parse("base bg.bmp\nI7 1 1 l0.bmp b0.bmp\n");
  EXPECT_EQ(message_, "Can not load indicator # 7");
  Parse("base bg.bmp\nL9 1 1 none.bmp 1 2 3 4 5 face\n");
  EXPECT_EQ(message_, "Can not load label # 9");
  Parse("base bg.bmp\nT0 1 1 tcback.bmp d0.bmp minus.bmp nocolon.bmp\n");
  EXPECT_EQ(message_, "Can not load time code");
}

TEST_F(SkinFixture, MalformedAndRepeatedRecordsAreSkippedSilently) {
  const int result = Parse(
      "base bg.bmp\n"
      "B3 1 1 b0.bmp b1.bmp b2.bmp\n"                   // three images
      "B4 1 1 b0.bmp b1.bmp b2.bmp b3.bmp extra.bmp\n"  // fifth name ignored
      "B10 1 1 b0.bmp b1.bmp b2.bmp b3.bmp\n"           // index out of range
      "B-1 1 1 b0.bmp b1.bmp b2.bmp b3.bmp\n"
      "B 5 7 8 b0.bmp b1.bmp b2.bmp b3.bmp\n"         // a blank after the letter
      "b5 9 9 none.bmp none.bmp none.bmp none.bmp\n"  // second record for button 5
      "Bx 1 1 b0.bmp b1.bmp b2.bmp b3.bmp\n"
      "B6 1 y b0.bmp b1.bmp b2.bmp b3.bmp\n"
      " B7 1 1 b0.bmp b1.bmp b2.bmp b3.bmp\n"  // leading blank
      "T1 1 1 tcback.bmp d0.bmp minus.bmp colon.bmp\n"
      "L2 1 1 lab.bmp 1 2 3 4 5\n"  // no face field
      "I8 1 1 l0.bmp\n"
      "X9 1 1 whatever\n");
  ASSERT_EQ(result, 0) << message_;
  EXPECT_FALSE(dialog_.Button(3).IsCreated());
  EXPECT_TRUE(dialog_.Button(4).IsLoaded());
  EXPECT_TRUE(dialog_.Button(5).IsLoaded());
  EXPECT_EQ(dialog_.Button(5).pos(), QPoint(7, 8));
  EXPECT_FALSE(dialog_.Button(6).IsCreated());
  EXPECT_FALSE(dialog_.Button(7).IsCreated());
  EXPECT_FALSE(dialog_.Timecode().IsCreated());
  EXPECT_FALSE(dialog_.Label(2).IsCreated());
  EXPECT_FALSE(dialog_.Indicator(8).IsCreated());
}

// Positions far beyond any screen are held where Qt's geometry arithmetic cannot overflow, and
// the panel still paints.
TEST_F(SkinFixture, ControlsPlacedAtTheIntegerLimitsAreHeldWithinWidgetRange) {
  const int result = Parse(
      "base bg.bmp\n"
      "B1 99999999999 -99999999999 b0.bmp b1.bmp b2.bmp b3.bmp\n"
      "I2 2147483647 5 l0.bmp l1.bmp\n"
      "L3 -2147483648 2147483647 lab.bmp 1 2 3 0 0 face\n");
  ASSERT_EQ(result, 0) << message_;
  EXPECT_EQ(dialog_.Button(1).pos(), QPoint(QWIDGETSIZE_MAX, -QWIDGETSIZE_MAX));
  EXPECT_EQ(dialog_.Indicator(2).geometry().right(), QWIDGETSIZE_MAX + 8 - 1);
  EXPECT_EQ(dialog_.Label(3).pos(), QPoint(-QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
  dialog_.Label(3).SetText("a text to fit", true);
  EXPECT_EQ(dialog_.grab().toImage().pixelColor(150, 100), QColor(30, 60, 90));
}

TEST_F(SkinFixture, PathLinesCombineAndApplyWhereverTheyStand) {
  WriteImages(folder_, "one/two/");
  folder_.WriteSolid("one/two/bg.bmp", 120, 80, kBackground);
  // Two relative values, the second after the records: both passes use the final folder.
  ASSERT_EQ(Parse("base bg.bmp\npath one\n" + std::string(kButton) + "path two/\n"), 0) << message_;
  EXPECT_EQ(dialog_.Background().Width(), 120);
  EXPECT_TRUE(dialog_.Button(1).IsLoaded());

  // Backslashes are separators too.
  CSkinDialog other;
  folder_.WriteText("b.skn", "path one\\two\nbase bg.bmp\n");
  char error[64];
  EXPECT_EQ(other.ParseSkin(folder_.Path("b.skn"), error, sizeof error), 0) << error;
  EXPECT_EQ(other.Background().Width(), 120);
}

TEST_F(SkinFixture, AbsolutePathIsUsedAsWrittenWithoutASeparator) {
  folder_.WriteSolid("prebg.bmp", 50, 40, kBackground);
  SkinFolder elsewhere;
  elsewhere.WriteText("s.skn", "path " + folder_.Dir() + "pre\nbase bg.bmp\n");
  char error[256];
  ASSERT_EQ(dialog_.ParseSkin(elsewhere.Path("s.skn"), error, sizeof error), 0) << error;
  EXPECT_EQ(dialog_.Background().Width(), 50);
}

TEST_F(SkinFixture, ValueWithTwoBackslashesIsAbsolute) {
  // As written, "sub\\" names a folder of the current directory, not of the skin's folder.
  WriteImages(folder_, "sub/");
  const QString previous = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(folder_.Dir())));
  SkinFolder elsewhere;
  elsewhere.WriteText("s.skn", "path sub\\\\\nbase bg.bmp\n");
  char error[256];
  const int result = dialog_.ParseSkin(elsewhere.Path("s.skn"), error, sizeof error);
  QDir::setCurrent(previous);
  EXPECT_EQ(result, 0) << error;
}

TEST_F(SkinFixture, OverlongDirectoryFailsTheImageInsteadOfCuttingThePath) {
  std::string skin = "base bg.bmp\n";
  for (int i = 0; i < 30; ++i) skin += "path abcdefghij\n";
  Parse(skin);
  EXPECT_EQ(message_, "Can not load background image 'bg.bmp'");
  // An absolute value afterwards brings the directory back.
  Parse(skin + "path " + folder_.Dir() + "\n");
  EXPECT_EQ(message_, "");
  // A name that makes the full path too long fails the same way (the line itself still fits).
  const std::string name = std::string(245, 'n') + ".bmp";
  ASSERT_GT(folder_.Dir().size() + name.size(), kMaxSkinPath);
  Parse("base " + name + "\n");
  EXPECT_EQ(message_, "Can not load background image '" + name + "'");
}

TEST_F(SkinFixture, LongLinesAreSplitAndTheRestReadAsALine) {
  // 254 characters of comment, then a record that starts right after the split.
  const std::string line = std::string(254, '#') + "B1 10 20 b0.bmp b1.bmp b2.bmp b3.bmp\n";
  ASSERT_EQ(Parse("base bg.bmp\n" + line), 0) << message_;
  EXPECT_TRUE(dialog_.Button(1).IsLoaded());
}

TEST_F(SkinFixture, ErrorTextIsCutToTheBufferAndTheResultCountsTheWholeMessage) {
  folder_.WriteText("s.skn", "base none.bmp\n");
  char small[10];
  std::memset(small, 'x', sizeof small);
  const std::string expected = "Can not load background image 'none.bmp'";
  EXPECT_EQ(dialog_.ParseSkin(folder_.Path("s.skn"), small, sizeof small),
            static_cast<int>(expected.size()) + 1);
  EXPECT_STREQ(small, expected.substr(0, 9).c_str());
  // A message longer than the loader's 512-byte formatting buffer is cut there.
  const std::string long_name = folder_.Path(std::string(600, 'z') + ".skn");
  char error[1024];
  EXPECT_EQ(dialog_.ParseSkin(long_name, error, sizeof error), 512);
  EXPECT_EQ(std::strlen(error), 511u);
  EXPECT_EQ(dialog_.ParseSkin(long_name, nullptr, 0), 512);
  // The cut never splits a character.
  const std::string cyrillic = folder_.Path(std::string(490, 'z') + "ЖЖЖЖЖЖЖЖЖЖЖЖЖЖ.skn");
  const int result = dialog_.ParseSkin(cyrillic, error, sizeof error);
  EXPECT_EQ(result, static_cast<int>(std::strlen(error)) + 1);
  EXPECT_LE(result, 512);
  EXPECT_TRUE(QString::fromUtf8(error).toUtf8() == QByteArray(error));
}

TEST_F(SkinFixture, LoadSkinShowsTheLoadersMessageOnlyWhenAsked) {
  RecordingPrompter prompter;
  dialog_.SetPrompter(&prompter);
  dialog_.SetSkinPath(folder_.Path("absent.skn"));
  EXPECT_FALSE(dialog_.LoadSkin(false));
  EXPECT_TRUE(prompter.messages.empty());
  EXPECT_FALSE(dialog_.LoadSkin(true));
  ASSERT_EQ(prompter.messages.size(), 1u);
  EXPECT_EQ(prompter.messages[0].caption, "Load Skin");
  EXPECT_EQ(prompter.messages[0].text,
            "Can not open skin file '" + folder_.Path("absent.skn") + "'");
  EXPECT_EQ(prompter.messages[0].icon, MessageIcon::kWarning);
  folder_.WriteText("good.skn", "base bg.bmp\n");
  dialog_.SetSkinPath(folder_.Path("good.skn"));
  EXPECT_TRUE(dialog_.LoadSkin(true));
  EXPECT_EQ(prompter.messages.size(), 1u);
}

// A few hundred damaged skins and images: each gives success or one of the loader's messages,
// and never reads or writes out of bounds (the sanitizer build checks that).
TEST_F(SkinFixture, MutatedSkinsAndImagesGiveAMessageOrLoad) {
  const std::string good =
      "path .\nbase bg.bmp\nB1 10 20 b0.bmp b1.bmp b2.bmp b3.bmp\nI3 70 20 l0.bmp l1.bmp\n"
      "L0 10 50 lab.bmp 255 255 0 -12 1 \"Sans\"\nT0 100 100 tcback.bmp d0.bmp minus.bmp "
      "colon.bmp\n";
  const std::string alphabet = "BbIiLlTtpathbase0123456789-+ \t\"\\/:.\r\n\xD0\x96";
  const std::vector<std::string> images = {"bg.bmp", "b2.bmp", "l1.bmp", "lab.bmp", "d7.bmp"};
  const std::vector<std::string> prefixes = {
      "Can not open skin file", "Skin has not background image", "Can not load background image",
      "Can not load button # ", "Can not load indicator # ",     "Can not load label # ",
      "Can not load time code"};
  std::mt19937 random(2024);
  int loaded = 0;
  for (int round = 0; round < 300; ++round) {
    std::string skin = good;
    const int edits = 1 + static_cast<int>(random() % 6);
    for (int e = 0; e < edits && !skin.empty(); ++e) {
      const std::size_t at = random() % skin.size();
      switch (random() % 5) {
        case 0:
          skin.erase(at, 1 + random() % 8);
          break;
        case 1:
          skin.insert(at, 1, alphabet[random() % alphabet.size()]);
          break;
        case 2:
          skin.insert(at, std::to_string(static_cast<int>(random())));
          break;
        case 3:
          skin.insert(at, std::string(random() % 400, 'q'));
          break;
        default:
          skin[at] = static_cast<char>(random());
          break;
      }
    }
    SkinFolder round_folder;
    WriteImages(round_folder, "");
    if (random() % 2 == 0) {
      // Damage one image: flip bytes or cut it.
      const std::string victim = round_folder.Path(images[random() % images.size()]);
      std::vector<std::uint8_t> bytes(std::filesystem::file_size(victim));
      std::FILE* f = std::fopen(victim.c_str(), "rb");
      ASSERT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
      std::fclose(f);
      if (random() % 2 == 0) {
        bytes.resize(random() % bytes.size());
      } else {
        for (int k = 0; k < 3; ++k) bytes[random() % 54] = static_cast<std::uint8_t>(random());
      }
      f = std::fopen(victim.c_str(), "wb");
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
    round_folder.WriteText("s.skn", skin);
    CSkinDialog dialog;
    char error[CSkinDialog::kErrorTextBytes];
    const int result = dialog.ParseSkin(round_folder.Path("s.skn"), error, sizeof error);
    if (result == 0) {
      ++loaded;
      EXPECT_STREQ(error, "");
      continue;
    }
    EXPECT_EQ(result, static_cast<int>(std::strlen(error)) + 1);
    bool known = false;
    for (const std::string& prefix : prefixes)
      known = known || std::string(error).rfind(prefix, 0) == 0;
    EXPECT_TRUE(known) << error;
  }
  EXPECT_GT(loaded, 0);
}

class PanelFixture : public SkinFixture {
 protected:
  void SetUp() override {
    SkinFixture::SetUp();
    ASSERT_EQ(Parse("base bg.bmp\n"
                    "B1 100 50 b0.bmp b1.bmp b2.bmp b3.bmp\n"
                    "I1 50 50 l0.bmp l1.bmp\n"
                    "L0 150 100 lab.bmp 255 255 255 -12 0 \"Sans\"\n"
                    "T0 10 150 tcback.bmp d0.bmp minus.bmp colon.bmp\n"),
              0)
        << message_;
    dialog_.move(200, 200);
    ASSERT_TRUE(ShowExposed(&dialog_));
    start_ = dialog_.pos();
  }
  // Mouse events at screen points, delivered to the panel's window.
  void Press(QPoint screen) {
    QTest::mousePress(dialog_.windowHandle(), Qt::LeftButton, Qt::NoModifier,
                      dialog_.mapFromGlobal(screen));
  }
  void MoveTo(QPoint screen) {
    QTest::mouseMove(dialog_.windowHandle(), dialog_.mapFromGlobal(screen));
  }
  void Release(QPoint screen) {
    QTest::mouseRelease(dialog_.windowHandle(), Qt::LeftButton, Qt::NoModifier,
                        dialog_.mapFromGlobal(screen));
  }
  QPoint Moved() const { return dialog_.pos() - start_; }
  QPoint Screen(QPoint local) const { return start_ + local; }

  QPoint start_;
};

TEST_F(PanelFixture, PressAndSmallMovesOnTheBackgroundDoNotMoveThePanel) {
  const QPoint s = Screen({250, 20});
  Press(s);
  Release(s);
  EXPECT_EQ(Moved(), QPoint(0, 0));
  Press(s);
  MoveTo(s + QPoint(8, 8));
  MoveTo(s + QPoint(-8, 3));
  Release(s + QPoint(-8, 3));
  EXPECT_EQ(Moved(), QPoint(0, 0));
  EXPECT_FALSE(dialog_.IsDragging());
}

TEST_F(PanelFixture, FirstMoveBeyondTheDeadZoneMovesAllTheWayThenFollowsExactly) {
  const QPoint s = Screen({250, 20});
  Press(s);
  MoveTo(s + QPoint(5, 0));
  EXPECT_EQ(Moved(), QPoint(0, 0));
  MoveTo(s + QPoint(9, 0));
  EXPECT_EQ(Moved(), QPoint(9, 0));
  MoveTo(s + QPoint(10, 0));
  EXPECT_EQ(Moved(), QPoint(10, 0));
  MoveTo(s + QPoint(10, 1));
  EXPECT_EQ(Moved(), QPoint(10, 1));
  Release(s + QPoint(10, 1));
  MoveTo(s + QPoint(40, 40));
  EXPECT_EQ(Moved(), QPoint(10, 1));
  EXPECT_EQ(dialog_.size(), QSize(300, 200));
}

TEST_F(PanelFixture, PressOnAnIndicatorOrTheTimecodeDragsThePanel) {
  for (QPoint local : {QPoint(53, 53), QPoint(20, 160)}) {
    const QPoint before = dialog_.pos();
    const QPoint s = dialog_.mapToGlobal(local);
    Press(s);
    MoveTo(s + QPoint(0, 20));
    EXPECT_EQ(dialog_.pos() - before, QPoint(0, 20));
    Release(s + QPoint(0, 20));
    EXPECT_FALSE(dialog_.IsDragging());
  }
}

TEST_F(PanelFixture, PressOnAButtonOrLabelNeverDrags) {
  for (QPoint local : {QPoint(105, 55), QPoint(160, 105)}) {
    const QPoint s = Screen(local);
    Press(s);
    MoveTo(s + QPoint(30, 30));
    Release(s + QPoint(30, 30));
    EXPECT_EQ(Moved(), QPoint(0, 0));
  }
}

TEST_F(PanelFixture, ADragWhoseReleaseWasLostEndsAtTheNextMoveOrPress) {
  // Events sent straight to the widgets: the release goes nowhere, as when another window
  // grabs the pointer mid-drag.
  auto send = [](QWidget* widget, QEvent::Type type, QPoint screen, Qt::MouseButtons buttons) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, QPointF(widget->mapFromGlobal(screen)), QPointF(screen), button,
                      buttons, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
  };
  const QPoint s = Screen({250, 20});
  send(&dialog_, QEvent::MouseButtonPress, s, Qt::LeftButton);
  ASSERT_TRUE(dialog_.IsDragging());
  // A move without the left button (here with the right one, since Qt does not deliver moves
  // without any button) drags nothing and ends the drag.
  send(&dialog_, QEvent::MouseMove, s + QPoint(30, 30), Qt::RightButton);
  EXPECT_EQ(Moved(), QPoint(0, 0));
  EXPECT_FALSE(dialog_.IsDragging());

  // A press and move on a button after a lost release drags nothing either: the button's
  // moves reach the panel, which no longer drags.
  send(&dialog_, QEvent::MouseButtonPress, s, Qt::LeftButton);
  ASSERT_TRUE(dialog_.IsDragging());
  QWidget* button = &dialog_.Button(1);
  const QPoint on_button = Screen({105, 55});
  send(button, QEvent::MouseButtonPress, on_button, Qt::LeftButton);
  send(button, QEvent::MouseMove, on_button + QPoint(30, 30), Qt::LeftButton);
  send(button, QEvent::MouseButtonRelease, on_button + QPoint(30, 30), Qt::NoButton);
  EXPECT_EQ(Moved(), QPoint(0, 0));
  EXPECT_FALSE(dialog_.IsDragging());
  // The next press on the background drags as always.
  send(&dialog_, QEvent::MouseButtonPress, s, Qt::LeftButton);
  send(&dialog_, QEvent::MouseMove, s + QPoint(0, 20), Qt::LeftButton);
  send(&dialog_, QEvent::MouseButtonRelease, s + QPoint(0, 20), Qt::NoButton);
  EXPECT_EQ(Moved(), QPoint(0, 20));
  EXPECT_FALSE(dialog_.IsDragging());
}

// A panel with its own command table, init and destroy hooks, as the deck's main panel has.
class TestPanel : public CSkinDialog {
 public:
  std::vector<int> played;
  int destroys = 0;
  bool background_released_in_hook = false;
  bool end_in_init = false;

  void OnPlay() { played.push_back(1); }

 protected:
  const CommandTable& Commands() const override {
    static const CommandEntry kEntries[] = {
        {1025, &Invoke<TestPanel, &TestPanel::OnPlay>},
    };
    static const CommandTable kTable{&SkinDialogCommands(), kEntries};
    return kTable;
  }
  bool OnInitDialog() override {
    CSkinDialog::OnInitDialog();
    if (end_in_init) done(QDialog::Rejected);
    return true;
  }
  void OnDestroy() override {
    CSkinDialog::OnDestroy();
    ++destroys;
    background_released_in_hook = !Background().IsLoaded();
  }
};

TEST_F(SkinFixture, CommandTableFallsBackToTheBaseTable) {
  TestPanel panel;
  EXPECT_TRUE(panel.OnCommand(1025));
  EXPECT_EQ(panel.played.size(), 1u);
  EXPECT_FALSE(panel.OnCommand(1026));
  EXPECT_TRUE(panel.OnCommand(CSkinDialog::kIdOk));  // the base's: ends the dialog
  EXPECT_EQ(panel.result(), QDialog::Accepted);
  EXPECT_EQ(panel.destroys, 1);
}

TEST_F(SkinFixture, ButtonCommandsReachTheDerivedPanel) {
  TestPanel panel;
  folder_.WriteText("p.skn", "base bg.bmp\nB5 10 10 b0.bmp b1.bmp b2.bmp b3.bmp\n");
  char error[128];
  ASSERT_EQ(panel.ParseSkin(folder_.Path("p.skn"), error, sizeof error), 0) << error;
  ASSERT_TRUE(ShowExposed(&panel));
  testing::PressAt(&panel, {12, 12});
  EXPECT_TRUE(panel.played.empty());
  testing::ReleaseAt(&panel, {12, 12});
  EXPECT_EQ(panel.played.size(), 1u);
}

TEST_F(SkinFixture, EndingTheDialogRunsTheDestroyHookAndReleasesEveryImage) {
  TestPanel panel;
  folder_.WriteText("p.skn",
                    "base bg.bmp\nB5 10 10 b0.bmp b1.bmp b2.bmp b3.bmp\nI1 1 1 l0.bmp l1.bmp\n"
                    "L0 1 30 lab.bmp 1 1 1 0 0 x\n");
  panel.SetSkinPath(folder_.Path("p.skn"));
  ASSERT_TRUE(panel.LoadSkin(false));
  QTimer::singleShot(0, &panel, [&panel] { panel.done(7); });
  EXPECT_EQ(panel.exec(), 7);
  EXPECT_EQ(panel.destroys, 1);
  EXPECT_TRUE(panel.background_released_in_hook);
  EXPECT_FALSE(panel.Button(5).IsLoaded());
  EXPECT_FALSE(panel.Indicator(1).IsLoaded());
  EXPECT_FALSE(panel.Label(0).IsLoaded());
  EXPECT_FALSE(panel.Label(0).HasFont());
  EXPECT_FALSE(panel.Timecode().IsLoaded());  // never loaded: released all the same

  // Closing a shown panel ends it too.
  ASSERT_TRUE(panel.LoadSkin(false));
  ASSERT_TRUE(ShowExposed(&panel));
  panel.close();
  EXPECT_EQ(panel.destroys, 2);
  EXPECT_FALSE(panel.Button(5).IsLoaded());
}

TEST_F(SkinFixture, DialogEndedDuringInitialisationReturnsWithoutRunning) {
  TestPanel panel;
  panel.end_in_init = true;
  EXPECT_EQ(panel.exec(), QDialog::Rejected);
  EXPECT_FALSE(panel.isVisible());
  EXPECT_EQ(panel.destroys, 1);
}

}  // namespace
}  // namespace vxr
