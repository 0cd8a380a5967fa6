#include "tools/skinview/skin_view_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "panel/skin_image.h"

namespace vxr {
namespace {

void EnsureApplication() {
  static int argc = 1;
  static char name[] = "skinview_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  (void)app;
}

class RecordingPrompter : public CPanelPrompter {
 public:
  int ShowMessage(QWidget*, const std::string& caption, const std::string& text,
                  MessageIcon) override {
    shown.push_back(caption + "|" + text);
    return kOk;
  }
  std::vector<std::string> shown;
};

std::string ReadAll(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

TEST(SkinViewDialogTest, FailingSkinShowsTheLoadersMessageAndEnds) {
  EnsureApplication();
  std::FILE* log = std::tmpfile();
  ASSERT_NE(log, nullptr);
  RecordingPrompter prompter;
  CSkinViewDialog view(log);
  view.SetPrompter(&prompter);
  view.SetSkinPath("/nonexistent/deck.skn");
  EXPECT_EQ(view.exec(), QDialog::Rejected);
  EXPECT_FALSE(view.SkinLoaded());
  EXPECT_EQ(prompter.shown,
            std::vector<std::string>{"Load Skin|Can not open skin file '/nonexistent/deck.skn'"});
  std::fclose(log);
}

TEST(SkinViewDialogTest, CommandsAreLoggedToggleTheLampAndPowerEnds) {
  EnsureApplication();
  QTemporaryDir dir;
  SkinImage image;
  image.Allocate(40, 20);
  const std::string folder = dir.path().toStdString() + "/";
  ASSERT_TRUE(WriteBitmapFile(folder + "bg.bmp", image));
  image.Allocate(10, 10);
  ASSERT_TRUE(WriteBitmapFile(folder + "k.bmp", image));
  std::ofstream(folder + "s.skn") << "base bg.bmp\nB1 0 0 k.bmp k.bmp k.bmp k.bmp\n"
                                     "b5 20 0 k.bmp k.bmp k.bmp k.bmp\n";
  std::FILE* log = std::tmpfile();
  ASSERT_NE(log, nullptr);
  CSkinViewDialog view(log);
  view.SetSkinPath(folder + "s.skn");
  QTimer::singleShot(0, &view, [&view] {
    view.OnCommand(1025);
    view.OnCommand(1099);
    view.OnCommand(1021);
  });
  EXPECT_EQ(view.exec(), QDialog::Accepted);
  EXPECT_TRUE(view.SkinLoaded());
  EXPECT_EQ(ReadAll(log), "command 1025\ncommand 1099\ncommand 1021\n");
  std::fclose(log);
}

TEST(SkinViewDialogTest, DemoStateLightsAPlayingDeck) {
  EnsureApplication();
  CSkinViewDialog view(stdout);
  view.ShowDemoState();
  EXPECT_EQ(view.Button(5).State() & CSkinIndicator::kLit, CSkinIndicator::kLit);
  EXPECT_EQ(view.Timecode().Text(), "01:23:45:12");
}

}  // namespace
}  // namespace vxr
