#include "sinks/qt/screen_output_kind.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/media/program_pipeline.h"
#include "testing/offscreen_screens.h"

namespace vxr {
namespace {

// Screen entries read, checked against the two offscreen screens, started on the program and
// finished with their figures.
TEST(ScreenOutputKind, ReadsChecksStartsAndFinishesItsScreens) {
  using Claim = IProgramOutputKind::Claim;
  CScreenOutputKind kind;
  EXPECT_EQ(kind.Claims("screen"), Claim::kNamed);
  EXPECT_EQ(kind.Claims("screen:1?burntc=1"), Claim::kNamed);
  EXPECT_EQ(kind.Claims("screen?burntc=1"), Claim::kNamed);
  EXPECT_EQ(kind.Claims("screens"), Claim::kNone);
  std::string error;
  ASSERT_TRUE(kind.Add("screen", &error)) << error;
  ASSERT_TRUE(kind.Add("screen:1?burntc=1", &error)) << error;
  for (const char* refused : {"screen:x", "screen:-1", "screen:"}) {
    EXPECT_FALSE(kind.Add(refused, &error));
    EXPECT_EQ(error, "\"" + std::string(refused) +
                         "\": the screen is a number from 0 (see --list-outputs)");
  }
  EXPECT_FALSE(kind.Add("screen:1?burntc=yes", &error));
  EXPECT_EQ(error, "\"screen:1?burntc=yes\": only ?burntc=0 or ?burntc=1 may follow");
  ASSERT_EQ(kind.settings().size(), 2u);
  EXPECT_EQ(kind.settings()[0].screen, -1);
  EXPECT_FALSE(kind.settings()[0].burn_timecode);
  EXPECT_EQ(kind.settings()[1].screen, 1);
  EXPECT_TRUE(kind.settings()[1].burn_timecode);

  testing::TwoScreenApplication();
  EXPECT_TRUE(kind.Check(&error)) << error;
  CScreenOutputKind third;
  ASSERT_TRUE(third.Add("screen:2", &error));
  EXPECT_FALSE(third.Check(&error));
  EXPECT_EQ(error,
            "screen:2: there is no screen 2; the screens are screen 0 \"left\" 1280x720 at 0,0, "
            "60 Hz; screen 1 \"right\" 1920x1080 at 1280,0, 60 Hz");
  std::ostringstream listed;
  kind.List(listed);
  EXPECT_NE(listed.str().find("  screen 1 \"right\" 1920x1080"), std::string::npos);

  testing::ProgramPipeline pipeline;
  ASSERT_TRUE(kind.Prepare(pipeline.errors));
  kind.Start(pipeline.Start());
  EXPECT_EQ(pipeline.errors.str(),
            "screen 0 \"left\" 1280x720 at 0,0, 60 Hz\n"
            "screen 1 \"right\" 1920x1080 at 1280,0, 60 Hz\n"
            "output screen 1 \"right\" 1920x1080: the program picture full screen (plain window, "
            "no refresh pacing)\n"
            "output screen 1 \"right\" 1920x1080: the program picture full screen (plain window, "
            "no refresh pacing, burned-in timecode)\n");
  EXPECT_EQ(pipeline.program.Sinks().size(), 2u);
  ASSERT_TRUE(pipeline.shared.picture_delay_us);
  EXPECT_EQ(pipeline.shared.picture_delay_us(), -1);  // no picture yet
  const std::vector<std::string> figures = kind.Finish(pipeline.program);
  ASSERT_EQ(figures.size(), 2u);
  EXPECT_EQ(figures[0].rfind("output screen 1 \"right\" 1920x1080: 0 ticks, 0 pictures handed "
                             "over, 0 not within their tick, ",
                             0),
            0u)
      << figures[0];
  EXPECT_TRUE(pipeline.program.Sinks().empty());
}

}  // namespace
}  // namespace vxr
