#include <cctype>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "integration/player_test_fixture.h"

// The C library keeps the name list of a locale it has loaded until the process ends (the
// Turkish-locale test loads one); the leak checker of the sanitizer build is told about that
// one allocation, nothing else.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:__argz_add_sep\n";
}

namespace vxr::testing {
namespace {

class TapeLoadingTest : public PlayerTest {
 protected:
  std::string CopyAs(const std::string& source, const std::string& name) {
    const std::string target = folder_.File(name);
    std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing);
    return target;
  }
  // Whether the mailbox refuses a command with this code.
  bool Refuses(std::int32_t code) {
    CClvrPlayer::Command command;
    command.code = code;
    return player_->CMD_set(command) == 0;
  }
  void Eject() {
    player_->Eject();
    ASSERT_TRUE(WaitFor([&] { return player_->TapeOutState() != 0; })) << log_.Dump();
  }
};

TEST_F(TapeLoadingTest, ExtensionsInAnyCaseLoad) {
  StartBoard();
  StartPlayer();
  const std::string movie = MakeTape("source.avi", 25);
  for (const char* name : {"clip.avi", "CLIP.AVI", "Clip.Avi"}) {
    ASSERT_EQ(player_->InsertTape(CopyAs(movie, name)), 0) << name << log_.Dump();
    EXPECT_EQ(player_->FrameLast(), 24u);
    Eject();
  }
  const std::string project = folder_.WriteFile("clip.tml", "source.avi 5 14\nsource.avi\n");
  ASSERT_EQ(player_->InsertTape(project), 0) << log_.Dump();
  EXPECT_EQ(player_->FrameLast(), 34u);  // 10 frames, then 25
  EXPECT_EQ(log_.Count("Info LoadTape", "TAPE loaded!!!\n"), 4);
}

// The extension is compared in ASCII: in a Turkish locale the C library's toupper turns 'i'
// into a dotted capital, and ".avi" would not match ".AVI".
TEST_F(TapeLoadingTest, ExtensionsMatchInATurkishLocale) {
  const std::string locales = folder_.File("locales");
  const std::string make = "mkdir -p " + locales + " && localedef -i tr_TR -f ISO-8859-9 " +
                           locales + "/tr_TR.ISO-8859-9 >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "localedef cannot make tr_TR here";
  setenv("LOCPATH", locales.c_str(), 1);
  // Only this thread's locale, which is where the load runs.
  const locale_t turkish = newlocale(LC_CTYPE_MASK, "tr_TR.ISO-8859-9", nullptr);
  unsetenv("LOCPATH");
  if (turkish == nullptr) GTEST_SKIP() << "the tr_TR locale does not load";
  const locale_t previous = uselocale(turkish);
  EXPECT_NE(std::toupper('i'), 'I');  // the locale is in force
  StartBoard();
  StartPlayer();
  const std::string movie = MakeTape("source.avi", 25);
  EXPECT_EQ(player_->InsertTape(CopyAs(movie, "clip.avi")), 0) << log_.Dump();
  uselocale(previous);
  freelocale(turkish);
}

TEST_F(TapeLoadingTest, OtherNamesAreRefusedWith50) {
  StartBoard();
  StartPlayer();
  const std::string movie = MakeTape("source.avi", 25);
  EXPECT_EQ(player_->InsertTape(CopyAs(movie, "clip.mpg")), 50);
  EXPECT_EQ(player_->InsertTape(CopyAs(movie, "clip")), 50);
  // A dot in a folder name is not an extension.
  std::filesystem::create_directory(folder_.File("tapes.avi"));
  EXPECT_EQ(player_->InsertTape(CopyAs(movie, "tapes.avi/clip")), 50);
  EXPECT_EQ(log_.Count("Err LoadTape", "Not *.AVI or *.TML file\n"), 3);
  EXPECT_EQ(player_->TapeOutState(), 1);
  EXPECT_EQ(player_->LastResult(), 50);
}

TEST_F(TapeLoadingTest, ASecondLoadIsRefusedAndKeepsTheTape) {
  StartBoard();
  StartPlayer();
  LoadTape(40);
  EXPECT_EQ(player_->InsertTape(MakeTape("other.avi", 80)), 85);
  EXPECT_EQ(log_.Count("Err LoadTape", "Already loaded. Eject at first.\n"), 1);
  EXPECT_EQ(player_->FrameLast(), 39u);
  EXPECT_EQ(player_->TapeOutState(), 0);
  EXPECT_TRUE(Bit(status::Standby));
}

TEST_F(TapeLoadingTest, LengthInFramesAtBothOutputRates) {
  StartBoard("pal");
  StartPlayer();
  ASSERT_EQ(player_->InsertTape(MakeTape("ten.avi", 250)), 0);
  EXPECT_EQ(player_->FrameLast(), 249u);
  TearDown();
  // Ten seconds of 25-frame material on a 29.97 output: 299.7 frames, so 299 whole ones.
  StartBoard("ntsc");
  StartPlayer();
  ASSERT_EQ(player_->InsertTape(MakeTape("ten-ntsc.avi", 250)), 0);
  EXPECT_EQ(player_->FrameLast(), 298u);
}

TEST_F(TapeLoadingTest, AwkwardLengthsKeepTheirLastFrame) {
  struct Case {
    const char* format;
    std::uint32_t frames;
    int rate_num, rate_den;
  };
  for (const Case& c : {Case{"pal", 29, 25, 1}, Case{"pal", 1, 25, 1}, Case{"pal", 1001, 25, 1},
                        Case{"ntsc", 29, 30000, 1001}, Case{"ntsc", 7, 30000, 1001},
                        Case{"ntsc", 1, 30000, 1001}, Case{"ntsc", 3001, 30000, 1001}}) {
    StartBoard(c.format);
    StartPlayer();
    const std::string path = MakeTape("awkward.avi", c.frames, c.rate_num, c.rate_den);
    ASSERT_EQ(player_->InsertTape(path), 0) << c.format << " " << c.frames << log_.Dump();
    EXPECT_EQ(player_->FrameLast(), c.frames - 1) << c.format << " " << c.frames;
    TearDown();
  }
}

TEST_F(TapeLoadingTest, ATapeShorterThanOneFrameIsRefused) {
  StartBoard("pal");
  StartPlayer();
  // One frame at 29.97 lasts 0.033 s: less than one 25-frame output frame.
  const HRESULT result = player_->InsertTape(MakeTape("short.avi", 1, 30000, 1001));
  EXPECT_LT(result, 0);
  EXPECT_EQ(player_->TapeOutState(), 1);
  EXPECT_EQ(Status()[1], 0x00);
}

TEST_F(TapeLoadingTest, LargerMaterialIsCentredOnTheOutput) {
  StartBoard("ntsc");
  StartPlayer();
  ASSERT_EQ(player_->InsertTape(MakeTape("pal.avi", 10, 25, 1, 720, 576)), 0) << log_.Dump();
  const BoardResources resources = board_->Resources(0);
  EXPECT_EQ(resources.rect.x, 0);
  EXPECT_EQ(resources.rect.y, 45);
  EXPECT_EQ(resources.rect.width, 720);
  EXPECT_EQ(resources.rect.height, 486);
  EXPECT_TRUE(resources.acquired.count(5));
  EXPECT_FALSE(resources.acquired.count(4));  // taken for the options, then given back
  const auto source = board_->Timeline(1 - 1)->SourceRect();
  EXPECT_EQ(source.y, 45);
}

TEST_F(TapeLoadingTest, SmallerMaterialGetsNegativeOffsets) {
  StartBoard("pal");
  StartPlayer();
  ASSERT_EQ(player_->InsertTape(MakeTape("small.avi", 10)), 0) << log_.Dump();
  const BoardResources resources = board_->Resources(0);
  EXPECT_EQ(resources.rect.x, (64 - 720) / 2);
  EXPECT_EQ(resources.rect.y, (48 - 576) / 2);
}

TEST_F(TapeLoadingTest, AFailedLoadLeavesNoTapeAndRefusesTransport) {
  StartBoard();
  StartPlayer();
  const std::string bad = folder_.WriteFile("bad.avi", "this is not a movie");
  const HRESULT result = player_->InsertTape(bad);
  EXPECT_LT(result, 0);
  EXPECT_EQ(player_->LastResult(), result);
  const auto s = Status();
  EXPECT_EQ(s[0], 0x20);
  EXPECT_EQ(s[1], 0x00);
  EXPECT_EQ(s[8], 0x01);  // Rec_Inhibit all the same
  char expected[100];
  std::snprintf(expected, sizeof expected, "ClvMovie->OpenFile(\"%s\") error 0x%X", bad.c_str(),
                static_cast<unsigned>(result));
  EXPECT_EQ(log_.Count("Err LoadTape", expected), 1) << log_.Dump();
  EXPECT_TRUE(Refuses(CClvrPlayer::kPlay));
  EXPECT_FALSE(Bit(status::Play));
  // Local control survives a failed load.
  player_->SetLocal(1);
  EXPECT_LT(player_->InsertTape(bad), 0);
  EXPECT_EQ(Status()[0], 0x21);
  // The next good tape loads.
  LoadTape(20);
  EXPECT_EQ(player_->TapeOutState(), 0);
}

TEST_F(TapeLoadingTest, EjectDropsTheTapeAndTheNextLoadWorks) {
  StartBoard();
  StartPlayer();
  LoadTape(50);
  player_->Play();
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= 5; }));
  Eject();
  const auto s = Status();
  EXPECT_EQ(s[0], 0x20);
  EXPECT_FALSE(status::Eject.In(s.data()));
  EXPECT_FALSE(status::Standby.In(s.data()));
  EXPECT_FALSE(status::Play.In(s.data()));
  EXPECT_TRUE(Refuses(CClvrPlayer::kPlay));
  EXPECT_FALSE(Bit(status::Play));
  ASSERT_EQ(player_->InsertTape(MakeTape("next.avi", 30)), 0) << log_.Dump();
  EXPECT_EQ(player_->FrameLast(), 29u);
  EXPECT_EQ(player_->CurrentFrame(), 0u);
}

TEST_F(TapeLoadingTest, ALoadTriedWhileAnEjectRunsIsSafe) {
  StartBoard();
  StartPlayer();
  LoadTape(50);
  const std::string next = MakeTape("next.avi", 30);
  player_->Play();
  ASSERT_TRUE(WaitFor([&] { return Bit(status::Play); }));
  // The load from the panel's thread meets the eject on the player thread: it is refused while
  // the tape is in and succeeds once it is out (checked for races under ThreadSanitizer).
  player_->Eject();
  HRESULT result = 85;
  ASSERT_TRUE(WaitFor([&] {
    result = player_->InsertTape(next);
    return result != 85;
  })) << log_.Dump();
  EXPECT_EQ(result, 0) << log_.Dump();
  EXPECT_EQ(player_->FrameLast(), 29u);
  // The eject was over before the load: the new tape stays in once the thread has served a
  // command given after it.
  player_->CueUp(TimecodeOf(3));
  ASSERT_TRUE(WaitFor([&] { return Bit(status::CueUp_Complete); })) << log_.Dump();
  EXPECT_EQ(player_->TapeOutState(), 0);
  EXPECT_TRUE(Bit(status::Standby));
}

TEST_F(TapeLoadingTest, AMissingFileFailsCleanly) {
  StartBoard();
  StartPlayer();
  EXPECT_LT(player_->InsertTape(folder_.File("missing.avi")), 0);
  EXPECT_LT(player_->InsertTape(folder_.File("missing.tml")), 0);
  EXPECT_EQ(player_->TapeOutState(), 1);
}

}  // namespace
}  // namespace vxr::testing
