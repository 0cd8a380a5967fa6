#include "sinks/qt/monitor_window_kind.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>

#include "testing/media/program_pipeline.h"
#include "testing/offscreen_screens.h"

namespace vxr {
namespace {

// The monitor's entry only sets it up; the window comes where BoardMonitorWanted says, shown,
// as a sink of the program, until Finish takes it off.
TEST(MonitorWindowKind, SetsUpTheWindowAndStartsItWhereWanted) {
  using Claim = IProgramOutputKind::Claim;
  CMonitorWindowKind kind(false);
  EXPECT_EQ(kind.Claims("monitor?burntc=1"), Claim::kNamed);
  EXPECT_EQ(kind.Claims("monitor:1"), Claim::kNone);
  std::string error;
  EXPECT_FALSE(kind.Add("monitor?x=1", &error));
  EXPECT_EQ(error, "\"monitor?x=1\": only ?burntc=0 or ?burntc=1 may follow");
  ASSERT_TRUE(kind.Add("monitor?burntc=1", &error));
  EXPECT_TRUE(kind.burn_timecode());

  testing::TwoScreenApplication();
  testing::ProgramPipeline pipeline;
  ::unsetenv("VXR_BOARD_MONITOR");
  EXPECT_FALSE(kind.Prepare(pipeline.errors));  // offscreen: off by default
  ::setenv("VXR_BOARD_MONITOR", "1", 1);
  EXPECT_FALSE(CMonitorWindowKind(true).Prepare(pipeline.errors));  // --no-monitor wins
  ASSERT_TRUE(kind.Prepare(pipeline.errors));
  ::unsetenv("VXR_BOARD_MONITOR");
  kind.Start(pipeline.Start());
  EXPECT_EQ(pipeline.errors.str(),
            "output monitor window: the board's output with burned-in timecode\n");
  ASSERT_NE(kind.window(), nullptr);
  EXPECT_TRUE(kind.window()->isVisible());
  ASSERT_EQ(pipeline.program.Sinks().size(), 1u);
  EXPECT_EQ(pipeline.program.Sinks()[0]->Name(), "monitor window");
  EXPECT_TRUE(kind.Finish(pipeline.program).empty());
  EXPECT_EQ(kind.window(), nullptr);
  EXPECT_TRUE(pipeline.program.Sinks().empty());
}

}  // namespace
}  // namespace vxr
