#include "tools/skingen/skin_generator.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <cstring>
#include <set>
#include <string>

#include "panel/skin_dialog.h"

// Fontconfig keeps a cache that it frees only when the process ends; the leak checker of the
// sanitizer build is told about that one library, nothing else.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

namespace vxr {
namespace {

void EnsureApplication() {
  static int argc = 1;
  static char name[] = "skingen_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  (void)app;
}

// The generated skin is loaded by the panel's own loader, and has every element the deck's
// main panel uses.
TEST(SkinGeneratorTest, DefaultSkinLoadsWithEveryElementTheDeckUses) {
  EnsureApplication();
  QTemporaryDir dir;
  std::string error;
  ASSERT_TRUE(CSkinGenerator().WriteSkin(dir.path().toStdString(), &error)) << error;
  CSkinDialog panel;
  char message[CSkinDialog::kErrorTextBytes];
  ASSERT_EQ(panel.ParseSkin(dir.path().toStdString() + "/vxrdeck.skn", message, sizeof message), 0)
      << message;
  for (int i = 1; i <= 8; ++i) {
    EXPECT_TRUE(panel.Button(i).IsLoaded()) << i;
    EXPECT_EQ(panel.Button(i).CommandMode(), kCommandOnRelease) << i;
    EXPECT_TRUE(panel.Indicator(i).IsLoaded()) << i;
    // The four states of a key all look different, and so do a lamp's two.
    std::set<std::string> looks;
    for (int s = 0; s < 4; ++s) {
      const SkinImage& image = panel.Button(i).Image(s);
      looks.insert(
          std::string(reinterpret_cast<const char*>(image.pixels.get()), image.PixelBytes()));
    }
    EXPECT_EQ(looks.size(), 4u) << i;
    EXPECT_NE(0, std::memcmp(panel.Indicator(i).Image(0).pixels.get(),
                             panel.Indicator(i).Image(1).pixels.get(),
                             panel.Indicator(i).Image(0).PixelBytes()));
  }
  EXPECT_FALSE(panel.Button(0).IsCreated());
  EXPECT_FALSE(panel.Button(9).IsCreated());
  EXPECT_TRUE(panel.Label(0).IsLoaded());
  EXPECT_EQ(panel.Label(0).CommandMode(), kCommandOnRelease);
  EXPECT_GE(panel.Label(0).width(), 300);  // room for a path
  EXPECT_TRUE(panel.Timecode().IsLoaded());

  // Every control lies inside the background.
  const QRect face(QPoint(0, 0), panel.size());
  for (int i = 1; i <= 8; ++i) {
    EXPECT_TRUE(face.contains(panel.Button(i).geometry())) << i;
    EXPECT_TRUE(face.contains(panel.Indicator(i).geometry())) << i;
  }
  EXPECT_TRUE(face.contains(panel.Label(0).geometry()));
  EXPECT_TRUE(face.contains(panel.Timecode().geometry()));

  // A negative time fits the display: the whole row lands inside it.
  panel.Timecode().SetTime(-23, 59, 59, 29);
  SkinImage readout;
  ASSERT_TRUE(panel.Timecode().Compose(&readout));
}

TEST(SkinGeneratorTest, IconsAreWrittenAtBothSizesWithTheirResourceList) {
  EnsureApplication();
  QTemporaryDir dir;
  std::string error;
  ASSERT_TRUE(CSkinGenerator().WriteIcons(dir.path().toStdString(), &error)) << error;
  for (int size : {32, 16}) {
    const QImage icon(dir.path() + QString("/vxrdeck_%1.png").arg(size));
    EXPECT_EQ(icon.size(), QSize(size, size));
    EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0);  // transparent corner
    EXPECT_GT(qAlpha(icon.pixel(size / 2, size / 2)), 0);
  }
  QFile qrc(dir.path() + "/vxrdeck_icons.qrc");
  ASSERT_TRUE(qrc.open(QIODevice::ReadOnly));
  const QByteArray text = qrc.readAll();
  EXPECT_TRUE(text.contains("<file>vxrdeck_32.png</file>"));
  EXPECT_TRUE(text.contains("<file>vxrdeck_16.png</file>"));
}

TEST(SkinGeneratorTest, UnwritableFolderIsReported) {
  EnsureApplication();
  QTemporaryDir dir;
  QFile blocker(dir.path() + "/file");
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  std::string error;
  EXPECT_FALSE(CSkinGenerator().WriteSkin((dir.path() + "/file").toStdString(), &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace vxr
