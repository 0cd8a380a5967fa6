#include "sinks/qt/monitor_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <sstream>

#include "player/server_registry.h"
#include "testing/media/test_pictures.h"
#include "testing/media/test_tapes.h"
#include "testing/offscreen_screens.h"
#include "vboard/program/program_output.h"
#include "vboard/server/movie.h"

namespace vxr {
namespace {

QApplication& App() { return testing::TwoScreenApplication(); }

// The monitor window on a software board with a stepped clock: the timeline is driven tick by
// tick and every tick's picture is read back from the window's output picture.
class MonitorWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    BoardConfig config;
    clock_ = std::make_shared<CSteppedClock>(1'000'000'000);
    board_ = std::make_unique<CSoftwareBoard>(config, clock_);
    board_->Register();
    std::shared_ptr<IClvPlayServer> server;
    ASSERT_EQ(CreateInstance(CLSCTX_ALL, &server), S_OK);
    std::shared_ptr<IClvTimeline> timeline;
    ASSERT_EQ(server->CreateAVTimeline(0, kDeckVideoBufferBytes, kDeckAudioBufferBytes,
                                       kDeckDataBufferBytes, 0, &timeline),
              S_OK);
    timeline_ = std::dynamic_pointer_cast<CTimeline>(timeline);
    std::shared_ptr<IClvSuperClip> clip;
    ASSERT_EQ(server->get_SuperClip(kDeckSuperClipKind, kDeckSuperClipOptions, &clip), S_OK);
    clip_ = std::dynamic_pointer_cast<CSuperClip>(clip);
    TapeSpec spec = testing::SmallTape(1.0);
    spec.frames = 30;
    std::string error;
    const std::string path = testing::MakeTestTape(folder_, "window.avi", spec, &error);
    ASSERT_FALSE(path.empty()) << error;
    auto movie = std::make_shared<CMovie>();
    ASSERT_EQ(movie->OpenFile(path), S_OK);
    ASSERT_EQ(clip->AddMovie(movie), S_OK);
    monitor_ = std::make_unique<CBoardMonitor>(*board_);
    program_ = std::make_unique<CProgramOutput>(*board_, *monitor_);
    window_ = std::make_shared<CMonitorWindow>(*monitor_, config.format, clock_);
    program_->AddSink(window_);
    tick_ = timeline_->grid().TickAt(clock_->NowNs());
  }
  void TearDown() override {
    if (program_) program_->RemoveSink(window_.get());
    window_.reset();
    program_.reset();
    monitor_.reset();
    board_.reset();
    UnregisterServerClasses();
  }

  void Queue(std::int64_t first, std::int64_t count) {
    ASSERT_EQ(timeline_->AddSuperClipFragment(clip_, first / 25.0, count / 25.0), S_OK);
  }

  // The next tick once decoding has caught up; gives the tape frame on the output and the
  // number read from the window's picture (-1 when unreadable).
  std::pair<std::int64_t, std::int64_t> Tick() {
    EXPECT_TRUE(monitor_->WaitDecoded(20000));
    clock_->Set(timeline_->grid().TimeOfTick(++tick_) + 1000);
    std::int64_t on_output = -2;
    const int id = board_->Subscribe([&](const OutputFrame& frame) {
      on_output = frame.tape_frame;
      EXPECT_EQ(frame.monitor, MonitorShowed::kRightPicture);
    });
    board_->PumpOutput();
    board_->Unsubscribe(id);
    QCoreApplication::processEvents();
    EXPECT_EQ(window_->ShownTick(), tick_);
    const QImage& image = window_->OutputImage();
    EXPECT_EQ(image.size(), QSize(720, 576));
    // A 64 x 48 tape is centred on the 720 x 576 output.
    const auto strip = testing::StripAt(reinterpret_cast<const std::uint32_t*>(image.constBits()),
                                        image.width(), image.height(), 328, 264, 64, 48);
    return {on_output, strip ? static_cast<std::int64_t>(*strip) : -1};
  }

  testing::TempFolder folder_;
  std::shared_ptr<CSteppedClock> clock_;
  std::unique_ptr<CSoftwareBoard> board_;
  std::shared_ptr<CTimeline> timeline_;
  std::shared_ptr<CSuperClip> clip_;
  std::unique_ptr<CBoardMonitor> monitor_;
  std::unique_ptr<CProgramOutput> program_;
  std::shared_ptr<CMonitorWindow> window_;
  std::int64_t tick_ = 0;
};

TEST_F(MonitorWindowTest, PlayAndCueShowTheirPicturesCentredOnBlackWithTheTimecodeInTheTitle) {
  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  Queue(0, 30);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
  for (std::int64_t frame = 0; frame < 30; ++frame) {
    EXPECT_EQ(Tick(), std::make_pair(frame, frame));
  }
  EXPECT_TRUE(window_->windowTitle().contains("window.avi"));
  EXPECT_TRUE(window_->windowTitle().contains("00:00:01:04"))
      << window_->windowTitle().toStdString();
  // Black around the picture.
  EXPECT_EQ(window_->OutputImage().pixel(0, 0), 0xff000000u);
  EXPECT_EQ(window_->OutputImage().pixel(719, 575), 0xff000000u);
  EXPECT_EQ(window_->OutputImage().pixel(327, 300), 0xff000000u);
  EXPECT_NE(window_->OutputImage().pixel(330, 300), 0xff000000u);

  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  Queue(12, 18);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackStopped), S_OK);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  EXPECT_EQ(Tick(), std::make_pair(std::int64_t{12}, std::int64_t{12}));
  EXPECT_TRUE(window_->windowTitle().contains("00:00:00:12"));
}

TEST_F(MonitorWindowTest, ClosingTheWindowHidesItAndTheMonitorGoesOn) {
  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  Queue(0, 30);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  window_->show();
  EXPECT_TRUE(window_->isVisible());
  EXPECT_TRUE(window_->close());
  EXPECT_FALSE(window_->isVisible());
  EXPECT_FALSE(window_->testAttribute(Qt::WA_QuitOnClose));
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
  EXPECT_EQ(Tick(), std::make_pair(std::int64_t{0}, std::int64_t{0}));
  EXPECT_EQ(Tick(), std::make_pair(std::int64_t{1}, std::int64_t{1}));
  EXPECT_EQ(monitor_->counts().right, 2);
}

TEST(BoardMonitorWanted, OptionVariableAndDisplay) {
  std::ostringstream errors;
  EXPECT_TRUE(BoardMonitorWanted(false, nullptr, "xcb", errors));
  EXPECT_FALSE(BoardMonitorWanted(false, nullptr, "offscreen", errors));
  EXPECT_FALSE(BoardMonitorWanted(false, nullptr, "minimal", errors));
  EXPECT_FALSE(BoardMonitorWanted(true, nullptr, "xcb", errors));
  EXPECT_FALSE(BoardMonitorWanted(true, "1", "xcb", errors));
  EXPECT_FALSE(BoardMonitorWanted(false, "0", "xcb", errors));
  EXPECT_TRUE(BoardMonitorWanted(false, "1", "offscreen", errors));
  EXPECT_TRUE(errors.str().empty());
  EXPECT_TRUE(BoardMonitorWanted(false, "yes", "wayland", errors));
  EXPECT_NE(errors.str().find("VXR_BOARD_MONITOR=\"yes\""), std::string::npos);
}

}  // namespace
}  // namespace vxr
