#include "app/program_outputs.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "app/deck_options.h"
#include "testing/controller_line.h"
#include "testing/deck_process.h"
#include "testing/media/test_tapes.h"
#include "testing/offscreen_screens.h"
#include "testing/orderly_end.h"
#include "testing/pty_pair.h"
#include "testing/wait_for.h"

namespace vxr {
namespace {

constexpr int kStartMs = 30000;
constexpr int kActMs = 10000;

TEST(ProgramOutputs, ScreensSoundMonitorAndStreamsFromOneList) {
  ProgramOutputPlan plan;
  std::string error;
  ASSERT_TRUE(ParseProgramOutputs({"screen", "screen:1?burntc=1", "sound", "sound:USB Audio:2",
                                   "monitor?burntc=1", "udp://127.0.0.1:5000"},
                                  "--output", &plan, &error))
      << error;
  ASSERT_EQ(plan.screens.size(), 2u);
  EXPECT_EQ(plan.screens[0].screen, -1);
  EXPECT_FALSE(plan.screens[0].burn_timecode);
  EXPECT_EQ(plan.screens[1].screen, 1);
  EXPECT_TRUE(plan.screens[1].burn_timecode);
  ASSERT_EQ(plan.sounds.size(), 2u);
  EXPECT_EQ(plan.sounds[0].device, "");
  EXPECT_EQ(plan.sounds[1].device, "USB Audio:2");
  EXPECT_TRUE(plan.monitor_burn_timecode);
  EXPECT_EQ(plan.streams.size(), 1u);

  for (const auto& [entry, reason] : std::vector<std::pair<std::string, std::string>>{
           {"screen:x", "--output: \"screen:x\": the screen is a number from 0"},
           {"screen:-1", "--output: \"screen:-1\": the screen is a number from 0"},
           {"screen:", "--output: \"screen:\": the screen is a number from 0"},
           {"screen:1?burntc=yes", "--output: \"screen:1?burntc=yes\": only ?burntc=0 or"},
           {"monitor?x=1", "--output: \"monitor?x=1\": only ?burntc=0 or"},
           {"sound:", "--output: \"sound:\": the sound device's name is missing"},
           {"screens", "--output: "}}) {
    ProgramOutputPlan refused;
    EXPECT_FALSE(ParseProgramOutputs({entry}, "--output", &refused, &error)) << entry;
    EXPECT_EQ(error.rfind(reason, 0), 0u) << error;
  }

  // Sound comes by default exactly when the monitor does on a display and none is named.
  EXPECT_TRUE(DefaultSoundWanted({}, false, false, "xcb"));
  EXPECT_FALSE(DefaultSoundWanted({}, true, false, "xcb"));
  EXPECT_FALSE(DefaultSoundWanted({}, false, true, "xcb"));
  EXPECT_FALSE(DefaultSoundWanted({}, false, false, "offscreen"));
  EXPECT_FALSE(DefaultSoundWanted({}, false, false, ""));  // no display at all
  EXPECT_FALSE(DefaultSoundWanted(plan, false, false, "xcb"));

  const ParsedOptions options =
      ParseDeckOptions({"--no-sound", "--list-outputs", "--output", "sound:x"}, "/");
  ASSERT_EQ(options.action, OptionsAction::kRun) << options.error;
  EXPECT_TRUE(options.options.no_sound);
  EXPECT_TRUE(options.options.list_outputs);
  EXPECT_EQ(ParseDeckOptions({"--no-sound", "--no-sound"}, "/").error,
            "option --no-sound is given twice");
}

// The program on two offscreen screens: the screens it lists, the one it refuses, and a run
// with the picture on the second screen and sound asked for on a machine without a device.
TEST(ProgramOutputs, TheProgramListsRefusesAndShowsScreensAndGoesOnWithoutSound) {
  testing::TempFolder folder;
  const std::string platform = testing::WriteTwoScreenPlatform(folder.File("screens.json"));
  {
    testing::DeckProcess program(VXRDECK_PROGRAM, folder.path(), {{"QT_QPA_PLATFORM", platform}});
    ASSERT_TRUE(program.Start({"--output", "screen:2"}));
    EXPECT_EQ(program.WaitForExit(kStartMs), 2) << program.Log();
    EXPECT_NE(program.Log().find("vxrdeck: --output: screen:2: there is no screen 2; the screens "
                                 "are screen 0 \"left\" 1280x720 at 0,0"),
              std::string::npos)
        << program.Log();
    EXPECT_NE(program.Log().find("screen 1 \"right\" 1920x1080 at 1280,0"), std::string::npos);
  }
  {
    testing::DeckProcess program(VXRDECK_PROGRAM, folder.path(), {{"QT_QPA_PLATFORM", platform}});
    ASSERT_TRUE(program.Start({"--list-outputs"}));
    EXPECT_EQ(program.WaitForExit(kStartMs), 0) << program.Log();
    EXPECT_NE(program.Log().find("  screen 1 \"right\" 1920x1080"), std::string::npos)
        << program.Log();
    EXPECT_NE(program.Log().find("Sound devices"), std::string::npos) << program.Log();
  }
  testing::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  testing::ControllerLine line(pty);
  std::string error;
  const std::string tape =
      testing::MakeTestTape(folder, "reel.avi", testing::SmallTape(6.0), &error);
  ASSERT_FALSE(tape.empty()) << error;
  testing::DeckProcess program(VXRDECK_PROGRAM, folder.path(), {{"QT_QPA_PLATFORM", platform}});
  ASSERT_TRUE(program.Start({"--output", "screen:1", "--output", "sound:no such device", "--tape",
                             tape, "--port", pty.SlavePath(), "--remote"}));
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        const testing::Bytes status = line.Status(1);
        return !program.Running() || (status.size() == 1 && status[0] == 0x00);
      },
      kStartMs))
      << program.Log();
  ASSERT_TRUE(program.Running()) << program.Log();
  EXPECT_EQ(line.Send({0x20, 0x01}), (testing::Bytes{0x10, 0x01, 0x11}));  // PLAY
  EXPECT_TRUE(testing::WaitFor([&] { return line.TimeSense() >= 10; }, kActMs));
  EXPECT_TRUE(testing::EndsInOrder(program, {}));
  const std::string log = program.Log();
  EXPECT_NE(log.find("output screen 1 \"right\" 1920x1080: the program picture full screen"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("sound: no sound device"), std::string::npos) << log;
  EXPECT_NE(log.find("the deck goes on without sound"), std::string::npos) << log;
}

}  // namespace
}  // namespace vxr
