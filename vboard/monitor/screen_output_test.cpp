#include "vboard/monitor/screen_output.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <numeric>
#include <sstream>

#include "player/server_registry.h"
#include "testing/media/test_tapes.h"
#include "testing/offscreen_screens.h"
#include "testing/wait_for.h"
#include "vboard/monitor/monitor_window.h"
#include "vboard/monitor/sound_output.h"
#include "vboard/movie.h"
#include "vboard/output/sound_cadence.h"
#include "vboard/test_pictures.h"

namespace vxr {
namespace {

constexpr int kWaitMs = 20000;
constexpr std::uint32_t kBlack = 0xff000000u;
constexpr std::uint32_t kWhite = 0xffffffffu;

// Pixels of the given colour in the lower half of an image (where burned-in timecode goes).
int CountInLowerHalf(const QImage& image, std::uint32_t colour) {
  int count = 0;
  for (int y = image.height() / 2; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) count += image.pixel(x, y) == colour ? 1 : 0;
  }
  return count;
}

// The program output of a software board with a stepped clock, driven tick by tick, with a
// screen output on the second of two screens and a sound output without a device.
class ProgramSinksTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    testing::TwoScreenApplication();
    ASSERT_EQ(QGuiApplication::screens().size(), 2);
    BoardConfig config;
    ASSERT_TRUE(FindOutputFormat(GetParam(), &config.format));
    format_ = config.format;
    clock_ = std::make_shared<CSteppedClock>(1'000'000'000);
    board_ = std::make_unique<CSoftwareBoard>(config, clock_);
    board_->Register();
    std::shared_ptr<IClvPlayServer> server;
    ASSERT_EQ(CreateInstance(CLSCTX_ALL, &server), S_OK);
    std::shared_ptr<IClvTimeline> timeline;
    ASSERT_EQ(server->CreateAVTimeline(0, 614400, 8388608, 4194304, 0, &timeline), S_OK);
    timeline_ = std::dynamic_pointer_cast<CTimeline>(timeline);
    std::shared_ptr<IClvSuperClip> clip;
    ASSERT_EQ(server->get_SuperClip(4147, 6, &clip), S_OK);
    clip_ = std::dynamic_pointer_cast<CSuperClip>(clip);
    std::string error;
    TapeSpec spec = testing::SmallTape(1.0, format_.rate_num, format_.rate_den);
    spec.frames = 30;
    const std::string path = testing::MakeTestTape(folder_, "screen.avi", spec, &error);
    ASSERT_FALSE(path.empty()) << error;
    auto movie = std::make_shared<CMovie>();
    ASSERT_EQ(movie->OpenFile(path), S_OK);
    ASSERT_EQ(clip->AddMovie(movie), S_OK);
    monitor_ = std::make_unique<CBoardMonitor>(*board_);
    program_ = std::make_unique<CProgramOutput>(*board_, *monitor_);
    screen_ = CScreenOutput::Create(ScreenSettings{1, false}, format_, &error);
    ASSERT_NE(screen_, nullptr) << error;
    sound_ = std::make_shared<CSoundOutput>(format_);
    program_->AddSink(screen_);
    program_->AddSink(sound_);
    tick_ = timeline_->grid().TickAt(clock_->NowNs());
  }
  void TearDown() override {
    if (program_) {
      program_->RemoveSink(screen_.get());
      program_->RemoveSink(sound_.get());
    }
    program_.reset();
    monitor_.reset();
    screen_.reset();
    sound_.reset();
    board_.reset();
    UnregisterServerClasses();
  }

  void Queue(std::int64_t first, std::int64_t count) {
    const double rate = format_.FramesPerSecond();
    ASSERT_EQ(timeline_->AddSuperClipFragment(clip_, first / rate, count / rate), S_OK);
  }
  // Stands the tape still on frame, as a cue or a jog step does.
  void StandOn(std::int64_t frame) {
    ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
    Queue(frame, 1);
    ASSERT_EQ(timeline_->put_State(ClvPlaybackStopped), S_OK);
    ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  }

  // The next tick once decoding has caught up and the screen has taken its picture: the tape
  // frame of the output record and the number read from the screen's picture (-1 unreadable).
  std::pair<std::int64_t, std::int64_t> Tick() {
    EXPECT_TRUE(monitor_->WaitDecoded(kWaitMs));
    clock_->Set(timeline_->grid().TimeOfTick(++tick_) + 1000);
    std::int64_t on_output = -2;
    const int id =
        board_->Subscribe([&](const OutputFrame& frame) { on_output = frame.tape_frame; });
    board_->PumpOutput();
    board_->Unsubscribe(id);
    EXPECT_TRUE(testing::WaitFor(
        [&] {
          QCoreApplication::processEvents();
          return screen_->ShownTick() == tick_;
        },
        kWaitMs, 1));
    const QImage& image = screen_->ShownImage();
    const int x = (format_.width - 64) / 2, y = (format_.height - 48) / 2;
    const auto strip = testing::StripAt(reinterpret_cast<const std::uint32_t*>(image.constBits()),
                                        image.width(), image.height(), x, y, 64, 48);
    return {on_output, strip ? static_cast<std::int64_t>(*strip) : -1};
  }

  testing::TempFolder folder_;
  OutputFormat format_;
  std::shared_ptr<CSteppedClock> clock_;
  std::unique_ptr<CSoftwareBoard> board_;
  std::shared_ptr<CTimeline> timeline_;
  std::shared_ptr<CSuperClip> clip_;
  std::unique_ptr<CBoardMonitor> monitor_;
  std::unique_ptr<CProgramOutput> program_;
  std::shared_ptr<CScreenOutput> screen_;
  std::shared_ptr<CSoundOutput> sound_;
  std::int64_t tick_ = 0;
};

TEST_P(ProgramSinksTest, ScreenShowsPlayStillAndJogFullScreenOnScreenOneAndSoundCountsEachTick) {
  // Full screen on the second screen, frameless, without a cursor.
  QScreen* right = QGuiApplication::screens()[1];
  EXPECT_EQ(screen_->screen(), right);
  EXPECT_EQ(screen_->window()->geometry(), right->geometry());
  EXPECT_TRUE(screen_->window()->windowFlags().testFlag(Qt::FramelessWindowHint));
  EXPECT_EQ(screen_->window()->cursor().shape(), Qt::BlankCursor);
  EXPECT_NE(screen_->Name().find("screen 1 \"right\""), std::string::npos) << screen_->Name();

  // Play, then still, then jog forward and back: each picture is the output record's.
  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  Queue(0, 12);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
  for (std::int64_t frame = 0; frame < 12; ++frame) EXPECT_EQ(Tick(), std::make_pair(frame, frame));
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  for (int still = 0; still < 3; ++still) {
    EXPECT_EQ(Tick(), std::make_pair(std::int64_t{11}, std::int64_t{11}));
  }
  for (const std::int64_t frame : {20, 21, 22, 21, 20, 19}) {
    StandOn(frame);
    EXPECT_EQ(Tick(), std::make_pair(frame, frame));
  }
  const CScreenOutput::Counts counts = screen_->counts();
  EXPECT_EQ(counts.received, counts.handed + counts.replaced);
  EXPECT_EQ(counts.replaced, 0);

  // On the 1920 x 1080 screen the picture keeps its display aspect, centred: a 720-wide
  // picture is 4:3 (1440 x 1080 from x = 240), HD fills the screen. The tape's 64 x 48 in the
  // middle of the output is all that is not black.
  const QImage grabbed = screen_->window()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(grabbed.size(), QSize(1920, 1080));
  const QRect place = DisplayRect(grabbed.size(), format_.width, format_.height);
  // Where the tape lies in the output picture, and so where it must lie on the screen.
  auto lit_in = [](const QImage& image) {
    QRect lit;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        if ((image.pixel(x, y) & 0xffffffu) > 0x202020u) lit |= QRect(x, y, 1, 1);
      }
    }
    return lit;
  };
  const QRect source = lit_in(screen_->ShownImage());
  const QRect lit = lit_in(grabbed);
  const double sx = static_cast<double>(place.width()) / format_.width;
  const double sy = static_cast<double>(place.height()) / format_.height;
  const QRect expected(
      place.x() + static_cast<int>(source.x() * sx), place.y() + static_cast<int>(source.y() * sy),
      static_cast<int>(source.width() * sx), static_cast<int>(source.height() * sy));
  EXPECT_LE(std::abs(lit.left() - expected.left()), 2) << lit.left() << " " << expected.left();
  EXPECT_LE(std::abs(lit.top() - expected.top()), 2) << lit.top() << " " << expected.top();
  EXPECT_LE(std::abs(lit.width() - expected.width()), 3) << lit.width() << " " << expected.width();
  EXPECT_LE(std::abs(lit.height() - expected.height()), 3)
      << lit.height() << " " << expected.height();

  // The sound sink got every tick's share of the 48 kHz grid, whatever the tape played.
  const CSoundQueue::Counts sound = sound_->counts().queue;
  const std::int64_t first_tick = tick_ - sound.ticks + 1;
  EXPECT_EQ(sound.ticks, 21);
  EXPECT_EQ(sound.samples_in,
            SoundSampleAtTick(tick_ + 1, format_.rate_num, format_.rate_den) -
                SoundSampleAtTick(first_tick, format_.rate_num, format_.rate_den));
  EXPECT_EQ(sound.last_tick_samples, SoundSamplesInTick(tick_, format_.rate_num, format_.rate_den));
}

INSTANTIATE_TEST_SUITE_P(Formats, ProgramSinksTest, ::testing::Values("pal", "ntsc", "1080-25"));

TEST(DisplayRect, StandardDefinitionIsFourThreeAndHdSquareOnScreensOfOtherSizes) {
  EXPECT_EQ(DisplayRect(QSize(1920, 1080), 720, 576), QRect(240, 0, 1440, 1080));
  EXPECT_EQ(DisplayRect(QSize(1920, 1080), 720, 486), QRect(240, 0, 1440, 1080));
  EXPECT_EQ(DisplayRect(QSize(1280, 720), 720, 576), QRect(160, 0, 960, 720));
  EXPECT_EQ(DisplayRect(QSize(1280, 1024), 720, 576), QRect(0, 32, 1280, 960));
  EXPECT_EQ(DisplayRect(QSize(1280, 1024), 1920, 1080), QRect(0, 152, 1280, 720));
  EXPECT_EQ(DisplayRect(QSize(1920, 1080), 1280, 720), QRect(0, 0, 1920, 1080));
  EXPECT_TRUE(DisplayRect(QSize(1920, 1080), 0, 0).isEmpty());
}

TEST(ScreenOutput, AnUnknownScreenIsRefusedNamingTheScreensThereAreAndTheDefaultIsTheLast) {
  testing::TwoScreenApplication();
  const OutputFormat pal;
  std::string error;
  EXPECT_EQ(CScreenOutput::Create(ScreenSettings{2, false}, pal, &error), nullptr);
  EXPECT_NE(error.find("no screen 2"), std::string::npos) << error;
  EXPECT_NE(error.find("screen 0 \"left\" 1280x720"), std::string::npos) << error;
  EXPECT_NE(error.find("screen 1 \"right\" 1920x1080"), std::string::npos) << error;
  const std::shared_ptr<CScreenOutput> last = CScreenOutput::Create(ScreenSettings{}, pal, &error);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->screen(), QGuiApplication::screens().back());
}

// The timecode burns into the screen's and the monitor window's pictures only when asked.
TEST(BurnIn, SwitchedPerOutputOnTheScreenAndTheMonitorWindow) {
  testing::TwoScreenApplication();
  const OutputFormat pal;
  std::string error;
  std::shared_ptr<CScreenOutput> screen =
      CScreenOutput::Create(ScreenSettings{0, true}, pal, &error);
  ASSERT_NE(screen, nullptr);
  auto frame = std::make_shared<ProgramFrame>();
  frame->tick = 7;
  frame->steady_ns = 0;
  frame->timecode = "01:02:03:04";
  frame->width = pal.width;
  frame->height = pal.height;
  frame->pixels = std::make_shared<std::vector<std::uint32_t>>(
      static_cast<std::size_t>(pal.width) * pal.height, kBlack);
  screen->Push(frame);
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        QCoreApplication::processEvents();
        return screen->ShownTick() == 7;
      },
      kWaitMs, 1));
  EXPECT_GT(CountInLowerHalf(screen->ShownImage(), kWhite), 100);
  EXPECT_EQ(screen->counts().late, 1);  // its tick was long ago on the steady clock
  screen->SetBurnInTimecode(false);
  auto later = std::make_shared<ProgramFrame>(*frame);
  later->tick = 8;
  screen->Push(later);
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        QCoreApplication::processEvents();
        return screen->ShownTick() == 8;
      },
      kWaitMs, 1));
  EXPECT_EQ(CountInLowerHalf(screen->ShownImage(), kWhite), 0);

  // The monitor window: same switch, same look.
  const auto clock = std::make_shared<CSteppedClock>(1'000'000'000);
  CSoftwareBoard board(BoardConfig{}, clock);
  board.Register();
  CMonitorWindow window(board);
  window.SetBurnInTimecode(true);
  std::shared_ptr<IClvPlayServer> server;
  ASSERT_EQ(CreateInstance(CLSCTX_ALL, &server), S_OK);
  std::shared_ptr<IClvTimeline> timeline;
  ASSERT_EQ(server->CreateAVTimeline(0, 614400, 8388608, 4194304, 0, &timeline), S_OK);
  clock->Set(clock->NowNs() + 100'000'000);  // a few ticks on
  board.PumpOutput();
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        QCoreApplication::processEvents();
        return window.ShownTick() >= 0;
      },
      kWaitMs, 1));
  EXPECT_GT(CountInLowerHalf(window.OutputImage(), kWhite), 100);
  UnregisterServerClasses();
}

// The sound path below the device, through the sink's own interface: what goes in by ticks
// comes out in the device's reads, in order; the queue starts once two ticks are in, fills
// an underrun with silence and counts it, and skips ahead when it holds more than six ticks.
TEST(SoundOutput, QueueStartsUnderrunsAndSkipsAheadWithoutADevice) {
  CSoundOutput sound(OutputFormat{});
  const int tick = sound.TickSamples();
  ASSERT_EQ(tick, 1920);
  std::int16_t next_value = 0;
  auto push = [&](int ticks) {
    for (int i = 0; i < ticks; ++i) {
      auto frame = std::make_shared<ProgramFrame>();
      for (int s = 0; s < tick; ++s) {
        frame->sound.push_back(next_value);
        frame->sound.push_back(static_cast<std::int16_t>(-next_value));
        ++next_value;
      }
      sound.Push(frame);
    }
  };
  std::vector<std::int16_t> out(static_cast<std::size_t>(8 * tick) * 2);
  push(1);
  sound.Pull(out.data(), 480);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(sound.counts().queue.silence_samples, 480);  // waiting to start: no underrun
  EXPECT_EQ(sound.counts().queue.underruns, 0);
  push(1);
  sound.Pull(out.data(), 1000);
  for (int s = 0; s < 1000; ++s) ASSERT_EQ(out[2 * s], s) << s;
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[3], -1);
  sound.Pull(out.data(), 3000);  // 2840 left, then silence
  EXPECT_EQ(out[2 * 2839], 3839);
  EXPECT_EQ(out[2 * 2840], 0);
  EXPECT_EQ(sound.counts().queue.underruns, 1);
  push(9);  // 9 ticks in: the three oldest are skipped
  const CSoundQueue::Counts counts = sound.counts().queue;
  EXPECT_EQ(counts.depth_samples, 6 * tick);
  EXPECT_EQ(counts.skipped_samples, 3 * tick);
  EXPECT_EQ(counts.max_depth_samples, 6 * tick);
  sound.Pull(out.data(), 10);
  EXPECT_EQ(out[0], static_cast<std::int16_t>(2 * tick + 3 * tick));
  EXPECT_EQ(counts.samples_in, 11 * tick);
}

TEST(SoundOutput, AMissingDeviceIsOneLineAndNoSink) {
  testing::TwoScreenApplication();
  std::ostringstream errors;
  EXPECT_EQ(StartSoundOutput(SoundSettings{"no such device"}, OutputFormat{}, errors), nullptr);
  const std::string text = errors.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_NE(text.find("goes on without sound"), std::string::npos) << text;
  CSoundOutput sound(OutputFormat{});
  std::string error;
  EXPECT_FALSE(sound.Open(QAudioDevice(), &error));
  EXPECT_EQ(error, "no sound device");
}

}  // namespace
}  // namespace vxr
