#include "sinks/qt/picture_sink.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <functional>

#include "sinks/qt/monitor_window.h"
#include "sinks/qt/screen_output.h"
#include "testing/media/program_pipeline.h"
#include "testing/offscreen_screens.h"
#include "testing/wait_for.h"

namespace vxr {
namespace {

constexpr int kWaitMs = 20000;
constexpr std::uint32_t kBlack = 0xff000000u;
constexpr std::uint32_t kWhite = 0xffffffffu;
constexpr std::int64_t kPalPeriodNs = 40'000'000;

// Pixels of the given colour in the lower half of an image (where burned-in timecode goes).
int CountInLowerHalf(const QImage& image, std::uint32_t colour) {
  int count = 0;
  for (int y = image.height() / 2; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) count += image.pixel(x, y) == colour ? 1 : 0;
  }
  return count;
}

TEST(DisplayRect, StandardDefinitionIsFourThreeAndHdSquareOnScreensOfOtherSizes) {
  EXPECT_EQ(DisplayRect(QSize(1920, 1080), 720, 576), QRect(240, 0, 1440, 1080));
  EXPECT_EQ(DisplayRect(QSize(1920, 1080), 720, 486), QRect(240, 0, 1440, 1080));
  EXPECT_EQ(DisplayRect(QSize(1280, 720), 720, 576), QRect(160, 0, 960, 720));
  EXPECT_EQ(DisplayRect(QSize(1280, 1024), 720, 576), QRect(0, 32, 1280, 960));
  EXPECT_EQ(DisplayRect(QSize(1280, 1024), 1920, 1080), QRect(0, 152, 1280, 720));
  EXPECT_EQ(DisplayRect(QSize(1920, 1080), 1280, 720), QRect(0, 0, 1920, 1080));
  EXPECT_TRUE(DisplayRect(QSize(1920, 1080), 0, 0).isEmpty());
}

// Both picture sinks, the full screen and the monitor window, fed by hand on the board's stepped
// clock: the timecode burns in only when asked, also when it is switched off on a still picture;
// a picture taken more than one output frame after its tick is counted late, on that clock.
TEST(PictureSink, BurnsInTimecodeOnRequestAndCountsLatePicturesOnTheBoardsClock) {
  testing::TwoScreenApplication();
  testing::ProgramPipeline pipeline;
  const OutputFormat& pal = pipeline.board.config().format;
  std::string error;
  const std::shared_ptr<CScreenOutput> screen =
      CScreenOutput::Create(ScreenSettings{0, true}, pal, pipeline.clock, &error);
  ASSERT_NE(screen, nullptr) << error;
  auto window = std::make_shared<CMonitorWindow>(pipeline.monitor, pal, pipeline.clock);
  window->SetBurnInTimecode(true);

  auto frame = std::make_shared<ProgramFrame>();
  frame->timecode = "01:02:03:04";
  frame->width = pal.width;
  frame->height = pal.height;
  frame->pixels = std::make_shared<std::vector<std::uint32_t>>(
      static_cast<std::size_t>(pal.width) * pal.height, kBlack);
  const std::int64_t now = pipeline.clock->NowNs();
  // Pushes the still picture as tick, from its tick's time; waits for the sink to take it.
  auto show = [&](CPictureSink& sink, std::int64_t tick, std::int64_t tick_ns) {
    auto copy = std::make_shared<ProgramFrame>(*frame);
    copy->tick = tick;
    copy->steady_ns = tick_ns;
    sink.Push(copy);
    return testing::WaitFor(
        [&] {
          QCoreApplication::processEvents();
          return sink.ShownTick() == tick;
        },
        kWaitMs, 1);
  };
  for (CPictureSink* sink : std::initializer_list<CPictureSink*>{screen.get(), window.get()}) {
    ASSERT_TRUE(show(*sink, 7, now - 2 * kPalPeriodNs));
    EXPECT_GT(CountInLowerHalf(sink->ShownImage(), kWhite), 100);
    EXPECT_EQ(sink->ShownImage().size(), QSize(pal.width, pal.height));
    ASSERT_TRUE(show(*sink, 8, now));
    sink->SetBurnInTimecode(false);
    ASSERT_TRUE(show(*sink, 9, now - kPalPeriodNs));
    EXPECT_EQ(CountInLowerHalf(sink->ShownImage(), kWhite), 0);
    const CPictureSink::Counts counts = sink->counts();
    EXPECT_EQ(counts.received, 3);
    EXPECT_EQ(counts.handed, 3);
    EXPECT_EQ(counts.late, 1);  // only the first, two frames behind; one frame is in time
    EXPECT_EQ(sink->TickToHandover().max, std::chrono::nanoseconds(2 * kPalPeriodNs));
  }
  // 80 ms, then 0 and 40 ms, each moving the recent handover an eighth of the way.
  EXPECT_EQ(screen->PictureDelayUs(), 66'250);
  EXPECT_EQ(window->Name(), "monitor window");
}

}  // namespace
}  // namespace vxr
