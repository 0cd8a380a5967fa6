#include "app/config_store.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "app/app_test_support.h"
#include "app/deck_app.h"
#include "app/recent_file_list.h"
#include "testing/deck_process.h"
#include "testing/media/test_tapes.h"

namespace vxr {
namespace {

// Sets an environment variable for the scope and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class ConfigStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::EnsureQtApplication(); }
  testing::TempFolder folder_;
};

TEST_F(ConfigStoreTest, TheProgramsStoreLivesUnderTheConfigHomeAndItsFolderIsMade) {
  ScopedEnv xdg("XDG_CONFIG_HOME", folder_.path().c_str());
  CConfigStore store("deckname");
  EXPECT_EQ(store.FilePath(), folder_.path() + "/Kavendi/Calvera/deckname.ini");
  EXPECT_EQ(store.AppName(), "deckname");
  EXPECT_TRUE(std::filesystem::is_directory(folder_.path() + "/Kavendi/Calvera"));
  // Opening writes no value.
  EXPECT_FALSE(std::filesystem::exists(store.FilePath()));
}

TEST_F(ConfigStoreTest, AnUnsetEmptyOrRelativeConfigHomeMeansDotConfig) {
  ScopedEnv home("HOME", folder_.path().c_str());
  const std::string expected = folder_.path() + "/.config/Kavendi/Calvera/x.ini";
  for (const char* value : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
    ScopedEnv xdg("XDG_CONFIG_HOME", value);
    EXPECT_EQ(CConfigStore::DefaultPath("x"), expected) << (value ? value : "(unset)");
  }
}

TEST_F(ConfigStoreTest, ValuesRoundTripAndMissingOrUnreadableOnesGiveTheDefault) {
  CConfigStore store("vxrdeck", folder_.File("deck.ini"));
  EXPECT_EQ(store.Read("Settings", "Port_name", "COM1"), "COM1");
  store.Write("Settings", "Port_name", "/dev/ttyUSB0");
  EXPECT_EQ(store.Read("Settings", "Port_name", "COM1"), "/dev/ttyUSB0");
  // Paths with commas, quotes, spaces, equals signs and UTF-8 stay single strings.
  const std::string odd = "/media/a, b/\"take\" = 2/Überspielung;#1.avi";
  store.Write("Recent File List", "File1", odd);
  EXPECT_EQ(store.Read("Recent File List", "File1", ""), odd);
  // Another reader of the file (as a user's tool would) sees the same.
  QSettings reader(QString::fromStdString(store.FilePath()), QSettings::IniFormat);
  EXPECT_EQ(reader.value("Recent File List/File1").toString().toStdString(), odd);
  EXPECT_EQ(reader.value("Settings/Port_name").toString().toStdString(), "/dev/ttyUSB0");
  // A hand-edited list is not a port name.
  testing::TempFolder other;
  const std::string path = other.WriteFile("hand.ini", "[Settings]\nPort_name=COM2, COM3\n");
  CConfigStore edited("vxrdeck", path);
  EXPECT_EQ(edited.Read("Settings", "Port_name", "COM1"), "COM1");
  store.Remove("Settings", "Port_name");
  EXPECT_EQ(store.Read("Settings", "Port_name", "none"), "none");
}

TEST_F(ConfigStoreTest, AWriteThatCannotBeStoredIsIgnored) {
  // The file's folder is a file: nothing can be written, and nothing fails loudly.
  folder_.WriteFile("blocker", "x");
  CConfigStore store("vxrdeck", folder_.File("blocker/deck.ini"));
  store.Write("Settings", "Port_name", "COM2");
  EXPECT_EQ(store.Read("Settings", "Port_name", "COM1"), "COM1");
}

TEST(RecentFileListTest, NewestFirstEachPathOnceAtMostFour) {
  CRecentFileList list;
  for (const char* path : {"/a.avi", "/b.avi", "/c.avi", "/d.avi", "/e.avi"}) list.Add(path);
  EXPECT_EQ(list.Paths(), (std::vector<std::string>{"/e.avi", "/d.avi", "/c.avi", "/b.avi"}));
  list.Add("/c.avi");
  EXPECT_EQ(list.Paths(), (std::vector<std::string>{"/c.avi", "/e.avi", "/d.avi", "/b.avi"}));
  list.Add("");
  EXPECT_EQ(list.Paths().size(), 4u);
  // Letter case matters on this file system: these are two tapes.
  list.Add("/C.avi");
  EXPECT_EQ(list.Paths().front(), "/C.avi");
  EXPECT_EQ(list.Paths()[1], "/c.avi");
}

TEST_F(ConfigStoreTest, RecentFilesAreReadAndWrittenAsFile1ToFile4) {
  CConfigStore store("vxrdeck", folder_.File("deck.ini"));
  store.Write(CRecentFileList::kSection, "File1", "/one.avi");
  store.Write(CRecentFileList::kSection, "File2", "");
  store.Write(CRecentFileList::kSection, "File3", "/one.avi");
  store.Write(CRecentFileList::kSection, "File4", "/four.tml");
  CRecentFileList list;
  list.ReadFrom(store);
  EXPECT_EQ(list.Paths(), (std::vector<std::string>{"/one.avi", "/four.tml"}));

  list.Add("/new.avi");
  list.WriteTo(store);
  EXPECT_EQ(store.Read(CRecentFileList::kSection, "File1", "-"), "/new.avi");
  EXPECT_EQ(store.Read(CRecentFileList::kSection, "File2", "-"), "/one.avi");
  EXPECT_EQ(store.Read(CRecentFileList::kSection, "File3", "-"), "/four.tml");
  EXPECT_EQ(store.Read(CRecentFileList::kSection, "File4", "-"), "-");
}

TEST_F(ConfigStoreTest, AHandWrittenRecentFileListSectionIsReadAndStaysReadable) {
  // Written by hand as the README shows it, with a blank in the section name.
  const std::string path =
      folder_.WriteFile("hand.ini",
                        "[Settings]\nPort_name=/dev/ttyUSB0\n\n"
                        "[Recent File List]\nFile1=/media/reel one.avi\nFile2=/media/two.tml\n");
  CConfigStore store("vxrdeck", path);
  EXPECT_EQ(store.Read("Settings", "Port_name", "COM1"), "/dev/ttyUSB0");
  CRecentFileList list;
  list.ReadFrom(store);
  EXPECT_EQ(list.Paths(), (std::vector<std::string>{"/media/reel one.avi", "/media/two.tml"}));
  // What the program writes back is read again, by the program and by the hand-written form.
  list.Add("/media/three.avi");
  list.WriteTo(store);
  CRecentFileList again;
  again.ReadFrom(store);
  EXPECT_EQ(again.Paths(), (std::vector<std::string>{"/media/three.avi", "/media/reel one.avi",
                                                     "/media/two.tml"}));
  EXPECT_EQ(testing::IniValue(path, "Recent File List", "File1"), "/media/three.avi");
}

TEST(ApplicationNameTest, TheExecutablesFileNameWithoutFoldersOrExtension) {
  EXPECT_EQ(CDeckApp::AppNameFromPath("/usr/local/bin/vxrdeck"), "vxrdeck");
  EXPECT_EQ(CDeckApp::AppNameFromPath("/opt/v1.2/deck2.bin"), "deck2");
  EXPECT_EQ(CDeckApp::AppNameFromPath("vxrdeck.exe"), "vxrdeck");
  EXPECT_EQ(CDeckApp::AppNameFromPath("./studio.b.deck"), "studio");
}

}  // namespace
}  // namespace vxr
