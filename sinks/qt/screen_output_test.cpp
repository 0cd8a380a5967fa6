#include "sinks/qt/screen_output.h"

#include <gtest/gtest.h>
#include <qpa/qplatformnativeinterface.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QScreen>
#include <QWindow>
#include <numeric>
#include <sstream>

#include "player/server_registry.h"
#include "sinks/qt/sound_output.h"
#include "testing/media/test_pictures.h"
#include "testing/media/test_tapes.h"
#include "testing/offscreen_screens.h"
#include "testing/wait_for.h"
#include "vboard/program/board_monitor.h"
#include "vboard/program/program_output.h"
#include "vboard/program/sound_cadence.h"
#include "vboard/server/movie.h"
#include "vboard/server/super_clip.h"

namespace vxr {
namespace {

constexpr int kWaitMs = 20000;

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
    ASSERT_EQ(server->CreateAVTimeline(0, kDeckVideoBufferBytes, kDeckAudioBufferBytes,
                                       kDeckDataBufferBytes, 0, &timeline),
              S_OK);
    timeline_ = std::dynamic_pointer_cast<CTimeline>(timeline);
    std::shared_ptr<IClvSuperClip> clip;
    ASSERT_EQ(server->get_SuperClip(kDeckSuperClipKind, kDeckSuperClipOptions, &clip), S_OK);
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
    screen_ = CScreenOutput::Create(ScreenSettings{1, false}, format_, clock_, &error);
    ASSERT_NE(screen_, nullptr) << error;
    sound_ = std::make_shared<CSoundOutput>(format_, clock_);
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

TEST(ScreenOutput, AnUnknownScreenIsRefusedNamingTheScreensThereAreAndTheDefaultIsTheLast) {
  testing::TwoScreenApplication();
  const OutputFormat pal;
  const auto clock = std::make_shared<CSteppedClock>();
  std::string error;
  EXPECT_EQ(CScreenOutput::Create(ScreenSettings{2, false}, pal, clock, &error), nullptr);
  EXPECT_NE(error.find("no screen 2"), std::string::npos) << error;
  EXPECT_NE(error.find("screen 0 \"left\" 1280x720"), std::string::npos) << error;
  EXPECT_NE(error.find("screen 1 \"right\" 1920x1080"), std::string::npos) << error;
  const std::shared_ptr<CScreenOutput> last =
      CScreenOutput::Create(ScreenSettings{}, pal, clock, &error);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->screen(), QGuiApplication::screens().back());
}

// The offscreen platform's screens changed while the program runs, as when a monitor is
// unplugged; false on a platform that cannot.
bool SetOffscreenScreens(const char* json) {
  QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
  if (native == nullptr || QGuiApplication::platformName() != "offscreen") return false;
  using SetConfiguration = void (*)(const QJsonObject&, QPlatformNativeInterface*);
  void* function = native->nativeResourceForIntegration("setConfiguration");
  if (function == nullptr) return false;
  reinterpret_cast<SetConfiguration>(function)(QJsonDocument::fromJson(json).object(), native);
  QCoreApplication::processEvents();
  return true;
}

using ScreenChangeTest = ProgramSinksTest;

// Screen 1 goes away while the tape plays on it: the output moves full screen to the screen
// left and goes on showing the output record's pictures.
TEST_P(ScreenChangeTest, ARemovedScreenMovesTheOutputToTheLastScreenLeft) {
  ASSERT_EQ(screen_->screen(), QGuiApplication::screens()[1]);
  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  Queue(0, 12);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
  for (std::int64_t frame = 0; frame < 4; ++frame) EXPECT_EQ(Tick(), std::make_pair(frame, frame));

  if (!SetOffscreenScreens(
          R"({"screens": [{"name": "left", "x": 0, "y": 0, "width": 1280, "height": 720}]})")) {
    GTEST_SKIP() << "the platform cannot remove a screen while running";
  }
  ASSERT_EQ(QGuiApplication::screens().size(), 1);
  QScreen* left = QGuiApplication::screens()[0];
  EXPECT_EQ(screen_->screen(), left);
  EXPECT_EQ(screen_->window()->geometry(), left->geometry());
  EXPECT_NE(screen_->Name().find("screen 0 \"left\""), std::string::npos) << screen_->Name();
  for (std::int64_t frame = 4; frame < 12; ++frame) {
    EXPECT_EQ(Tick(), std::make_pair(frame, frame));
  }
  // Drawn on the smaller screen: the tape's picture where the display aspect puts it.
  const QImage grabbed = screen_->window()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(grabbed.size(), QSize(1280, 720));
  EXPECT_EQ(screen_->ShownTick(), tick_);

  // The second monitor comes back, for the tests that follow.
  ASSERT_TRUE(SetOffscreenScreens(testing::kTwoScreensJson));
  EXPECT_EQ(QGuiApplication::screens().size(), 2);
}

// 16:9 standard-definition material (anamorphic pixels, flagged in the file) after a 4:3 clip:
// on a 1920x1080 screen it fills the width, where 4:3 keeps borders.
TEST_P(ScreenChangeTest, WideStandardDefinitionMaterialIsShownSixteenByNine) {
  TapeSpec spec;
  spec.frames = 10;
  spec.width = 720;
  spec.height = format_.height == 576 ? 576 : 480;
  spec.rate_num = format_.rate_num;
  spec.rate_den = format_.rate_den;
  spec.encoder = "mpeg2video";
  spec.encoder_options = spec.height == 576 ? "aspect=64/45" : "aspect=32/27";
  std::string error;
  const std::string path = testing::MakeTestTape(folder_, "wide.mkv", spec, &error);
  ASSERT_FALSE(path.empty()) << error;
  auto movie = std::make_shared<CMovie>();
  ASSERT_EQ(movie->OpenFile(path), S_OK);
  ASSERT_NEAR(movie->Facts()->aspect_ratio, 16.0 / 9.0, 0.03);
  ASSERT_EQ(clip_->AddMovie(movie), S_OK);

  StandOn(33);  // the wide movie's frame 3
  EXPECT_EQ(Tick().first, 33);
  EXPECT_TRUE(screen_->ShownWide());
  const QImage grabbed = screen_->window()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(grabbed.size(), QSize(1920, 1080));
  EXPECT_EQ(DisplayRect(grabbed.size(), format_.width, format_.height, true),
            QRect(0, 0, 1920, 1080));
  // What the screen shows against the picture drawn 16:9 and 4:3: close to the first only.
  auto drawn = [&](bool wide) {
    QImage image(grabbed.size(), QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(DisplayRect(image.size(), format_.width, format_.height, wide),
                      screen_->ShownImage());
    return image;
  };
  auto difference = [&](const QImage& other) {
    double sum = 0;
    for (int y = 0; y < grabbed.height(); y += 4) {
      for (int x = 0; x < grabbed.width(); x += 4) {
        sum += std::abs(qGray(grabbed.pixel(x, y)) - qGray(other.pixel(x, y)));
      }
    }
    return sum / (grabbed.width() / 4 * grabbed.height() / 4);
  };
  const double wide = difference(drawn(true)), narrow = difference(drawn(false));
  EXPECT_LT(wide, 2.0) << wide;
  EXPECT_GT(narrow, 4 * wide + 5) << narrow;

  StandOn(5);  // back on the 4:3 tape
  EXPECT_EQ(Tick(), std::make_pair(std::int64_t{5}, std::int64_t{5}));
  EXPECT_FALSE(screen_->ShownWide());
}

INSTANTIATE_TEST_SUITE_P(StandardDefinition, ScreenChangeTest, ::testing::Values("pal", "ntsc"));

TEST(WideMaterial, PixelShapesWithinAFewPercentOfTheOutputsSixteenByNine) {
  EXPECT_TRUE(WideMaterial(720, 576, 720 * 64.0 / 45 / 576, 720, 576));
  EXPECT_FALSE(WideMaterial(720, 576, 720 * 16.0 / 15 / 576, 720, 576));
  EXPECT_TRUE(WideMaterial(720, 480, 720 * 32.0 / 27 / 480, 720, 486));
  EXPECT_FALSE(WideMaterial(720, 480, 4.0 / 3, 720, 486));
  EXPECT_FALSE(WideMaterial(64, 48, 4.0 / 3, 720, 576));
  EXPECT_FALSE(WideMaterial(720, 576, 0.0, 720, 576));  // a movie that says nothing
}

}  // namespace
}  // namespace vxr

namespace vxr {
namespace {

// Every screen goes away (the only monitor unplugged, a KVM switched over) and then screens come
// back: the output shows full screen on the last of them again, and it never points at a screen
// that is gone.
TEST(ScreenOutput, AfterTheLastScreenIsRemovedTheOutputComesBackWithTheScreens) {
  testing::TwoScreenApplication();
  const OutputFormat pal;
  std::string error;
  const std::shared_ptr<CScreenOutput> output = CScreenOutput::Create(
      ScreenSettings{1, false}, pal, std::make_shared<CSteppedClock>(), &error);
  ASSERT_NE(output, nullptr) << error;
  if (!SetOffscreenScreens(R"({"screens": []})")) {
    GTEST_SKIP() << "the platform cannot remove a screen while running";
  }
  const QList<QScreen*> during = QGuiApplication::screens();
  EXPECT_TRUE(output->screen() == nullptr || during.contains(output->screen()));

  ASSERT_TRUE(SetOffscreenScreens(testing::kTwoScreensJson));
  ASSERT_EQ(QGuiApplication::screens().size(), 2);
  QScreen* last = QGuiApplication::screens().back();
  EXPECT_EQ(output->screen(), last);
  EXPECT_TRUE(output->window()->isVisible());
  ASSERT_NE(output->window()->windowHandle(), nullptr);
  EXPECT_TRUE(output->window()->windowHandle()->isVisible());
  EXPECT_EQ(output->window()->windowHandle()->screen(), last);
  EXPECT_EQ(output->window()->geometry(), last->geometry());
  EXPECT_NE(output->Name().find("screen 1 \"right\""), std::string::npos) << output->Name();
}

}  // namespace
}  // namespace vxr
