#include "vboard/program/board_monitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "player/clv_results.h"
#include "player/clvr_player.h"
#include "player/server_registry.h"
#include "protocol/status_bits.h"
#include "protocol/timecode.h"
#include "testing/media/test_pictures.h"
#include "testing/media/test_tapes.h"
#include "testing/wait_for.h"
#include "vboard/server/movie.h"

namespace vxr {
namespace {

constexpr int kWaitMs = 20000;  // decoding a small picture takes well under a millisecond

Picture Numbered(int width, int height) {
  Picture picture;
  picture.width = width;
  picture.height = height;
  for (int i = 0; i < width * height; ++i) picture.pixels.push_back(0xff000000u | (i + 1));
  return picture;
}

TEST(Placement, TheBoardWindowElseTheSourceRectangleElseTheCentredWindow) {
  OutputFormat pal;
  BoardResources resources;
  const CTimeline::Rect none;
  EXPECT_EQ(PlaceMaterial(resources, none, pal, 720, 576), (Placement{720, 576, 0, 0}));
  EXPECT_EQ(PlaceMaterial(resources, none, pal, 736, 592), (Placement{720, 576, 8, 8}));
  EXPECT_EQ(PlaceMaterial(resources, none, pal, 64, 48), (Placement{720, 576, -328, -264}));
  EXPECT_EQ(PlaceMaterial(resources, CTimeline::Rect{0, 45, 720, 486}, pal, 64, 48),
            (Placement{720, 576, 0, 45}));
  // A window set on the board counts only while it is acquired and routed into the output.
  resources.rect = BoardResources::Rect{5, 6, 720, 576};
  EXPECT_EQ(PlaceMaterial(resources, none, pal, 64, 48), (Placement{720, 576, -328, -264}));
  resources.acquired.insert(kResourceWindow);
  EXPECT_EQ(PlaceMaterial(resources, none, pal, 64, 48), (Placement{720, 576, -328, -264}));
  resources.properties[kPropertyRouting] |= 0x02;
  EXPECT_EQ(PlaceMaterial(resources, CTimeline::Rect{1, 1, 720, 576}, pal, 64, 48),
            (Placement{720, 576, 5, 6}));
}

TEST(Placement, LargerMaterialIsCutSmallerIsCentredOnBlack) {
  const Picture material = Numbered(6, 4);
  std::vector<std::uint32_t> output;
  // Cut: a 4 x 2 window from (1, 1).
  ComposeOutput(&material, Placement{4, 2, 1, 1}, &output);
  EXPECT_EQ(output,
            (std::vector<std::uint32_t>{0xff000008u, 0xff000009u, 0xff00000au, 0xff00000bu,  //
                                        0xff00000eu, 0xff00000fu, 0xff000010u, 0xff000011u}));
  // Centred on black: the 6 x 4 picture at (1, 2) of an 8 x 8 output.
  ComposeOutput(&material, Placement{8, 8, -1, -2}, &output);
  ASSERT_EQ(output.size(), 64u);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      const bool inside = x >= 1 && x < 7 && y >= 2 && y < 6;
      const std::uint32_t expected =
          inside ? 0xff000000u | static_cast<std::uint32_t>((y - 2) * 6 + (x - 1) + 1)
                 : 0xff000000u;
      EXPECT_EQ(output[static_cast<std::size_t>(y * 8 + x)], expected) << x << "," << y;
    }
  }
  // Offsets anywhere, pictures that lie about their size, no picture: black, never a stray write.
  for (const Placement placement : {Placement{8, 8, INT_MAX, 0}, Placement{8, 8, INT_MIN, INT_MIN},
                                    Placement{8, 8, 6, 0}, Placement{8, 8, -8, 0}}) {
    ComposeOutput(&material, placement, &output);
    EXPECT_EQ(output, std::vector<std::uint32_t>(64, 0xff000000u));
  }
  Picture liar = material;
  liar.height = 400;
  ComposeOutput(&liar, Placement{8, 8, 0, 0}, &output);
  EXPECT_EQ(output, std::vector<std::uint32_t>(64, 0xff000000u));
  ComposeOutput(nullptr, Placement{3, 2, 0, 0}, &output);
  EXPECT_EQ(output, std::vector<std::uint32_t>(6, 0xff000000u));

  // The output shares the picture's own pixels only where composing would copy them unchanged:
  // the same size, placed as it is (a part cut from its material, where it lies).
  EXPECT_TRUE(FillsOutput(material, Placement{6, 4, 0, 0}));
  ComposeOutput(&material, Placement{6, 4, 0, 0}, &output);
  EXPECT_EQ(output, material.pixels);
  Picture part = material;
  part.x = 2;
  part.y = 1;
  EXPECT_TRUE(FillsOutput(part, Placement{6, 4, 2, 1}));
  EXPECT_FALSE(FillsOutput(part, Placement{6, 4, 0, 0}));
  EXPECT_FALSE(FillsOutput(material, Placement{6, 4, 1, 0}));
  EXPECT_FALSE(FillsOutput(material, Placement{8, 4, 0, 0}));
  EXPECT_FALSE(FillsOutput(liar, Placement{6, 400, 0, 0}));
}

TEST(GradeTick, EachTickIsJudgedByWhatWasReadyWithinItsOwnFrame) {
  // Tick 7 at 25 frames a second on a clock whose ticks start at 1 s: 1.28 s to 1.32 s.
  const std::int64_t t = 1'280'000'000, p = 40'000'000;
  const auto grade = [&](std::int64_t reached, std::int64_t wanted, std::int64_t handed,
                         std::int64_t ready) {
    return GradeTick(TickTiming{t, p, reached, wanted, handed, ready});
  };
  EXPECT_EQ(grade(t + 1'000, 59, 59, t + 2'000), MonitorShowed::kRightPicture);
  EXPECT_EQ(grade(t + p, 59, 59, t + p), MonitorShowed::kRightPicture);  // the last nanosecond
  EXPECT_EQ(grade(t + 1'000, 59, 59, t + p + 1), MonitorShowed::kOtherPicture);
  EXPECT_EQ(grade(t + 1'000, 59, 58, t + 2'000), MonitorShowed::kOtherPicture);
  EXPECT_EQ(grade(t + 1'000, 59, -1, t + 2'000), MonitorShowed::kOtherPicture);
  EXPECT_EQ(grade(t + 1'000, -1, -1, t + 2'000), MonitorShowed::kRightPicture);  // black at start
  // Reached after the frame: late, even with the right picture at hand.
  EXPECT_EQ(grade(t + p + 1, 59, 59, t + p + 1), MonitorShowed::kLate);
  EXPECT_EQ(grade(t + 5 * p, -1, -1, t + 5 * p), MonitorShowed::kLate);
  // 30000/1001: frames of 33366666 or 33366667 ns.
  // Winding: the key frame at or before the wanted picture, in time, has a word of its own; it
  // is never the tick's picture, and anything else about it is missed or late as before.
  const auto key = [&](std::int64_t reached, std::int64_t wanted, std::int64_t handed,
                       std::int64_t ready) {
    return GradeTick(TickTiming{t, p, reached, wanted, handed, ready, true});
  };
  EXPECT_EQ(key(t + 1'000, 1230, 1200, t + 2'000), MonitorShowed::kKeyFrame);
  EXPECT_EQ(key(t + 1'000, 1230, 1200, t + p), MonitorShowed::kKeyFrame);
  EXPECT_EQ(key(t + 1'000, 1230, 1200, t + p + 1), MonitorShowed::kOtherPicture);
  EXPECT_EQ(key(t + 1'000, 1230, 1250, t + 2'000), MonitorShowed::kOtherPicture);
  EXPECT_EQ(key(t + 1'000, 1230, -1, t + 2'000), MonitorShowed::kOtherPicture);
  EXPECT_EQ(key(t + p + 1, 1230, 1200, t + p + 1), MonitorShowed::kLate);
  EXPECT_EQ(key(t + 1'000, 1200, 1200, t + 2'000), MonitorShowed::kRightPicture);
  EXPECT_EQ(grade(t + 1'000, 1230, 1200, t + 2'000), MonitorShowed::kOtherPicture);
  EXPECT_EQ(GradeTick(TickTiming{0, 33'366'667, 33'366'667, 3, 3, 33'366'667}),
            MonitorShowed::kRightPicture);
  EXPECT_EQ(GradeTick(TickTiming{0, 33'366'667, 33'366'668, 3, 3, 33'366'667}),
            MonitorShowed::kLate);
}

// A software board on a stepped clock with a monitor on it; the timeline is driven the way the
// player drives it, tick by tick, and every tick's monitor picture is read back.
class MonitorTest : public ::testing::Test {
 protected:
  struct Shown {
    std::int64_t tape_frame;             // the output record's
    MonitorShowed monitor;               // what the record says of the monitor
    std::int64_t view_shown;             // the frame the monitor says it shows
    std::optional<std::uint32_t> strip;  // the number read from the monitor's picture
  };

  void TearDown() override {
    monitor_.reset();
    board_.reset();
    UnregisterServerClasses();
  }

  void Start(const char* format, DecoderLimits limits = {}, std::string log = {}) {
    BoardConfig config;
    ASSERT_TRUE(FindOutputFormat(format, &config.format));
    config.log_path = std::move(log);
    clock_ = std::make_shared<CSteppedClock>(1'000'000'000);
    board_ = std::make_unique<CSoftwareBoard>(config, clock_);
    board_->Register();
    ASSERT_EQ(CreateInstance(CLSCTX_ALL, &server_), S_OK);
    std::shared_ptr<IClvTimeline> timeline;
    ASSERT_EQ(server_->CreateAVTimeline(0, kDeckVideoBufferBytes, kDeckAudioBufferBytes,
                                        kDeckDataBufferBytes, 0, &timeline),
              S_OK);
    timeline_ = std::dynamic_pointer_cast<CTimeline>(timeline);
    rate_ = config.format.FramesPerSecond();
    monitor_ = std::make_unique<CBoardMonitor>(*board_, limits);
    tick_ = timeline_->grid().TickAt(clock_->NowNs());
  }

  std::string Tape(const std::string& name, std::uint32_t frames) {
    TapeSpec spec = testing::SmallTape(1.0, rate_ == 25.0 ? 25 : 30000, rate_ == 25.0 ? 1 : 1001);
    spec.frames = frames;
    std::string error;
    const std::string path = testing::MakeTestTape(folder_, name, spec, &error);
    EXPECT_FALSE(path.empty()) << error;
    return path;
  }

  void LoadMovie(const std::string& path) {
    std::shared_ptr<IClvSuperClip> clip;
    ASSERT_EQ(server_->get_SuperClip(kDeckSuperClipKind, kDeckSuperClipOptions, &clip), S_OK);
    auto movie = std::make_shared<CMovie>();
    ASSERT_EQ(movie->OpenFile(path), S_OK);
    ASSERT_EQ(clip->AddMovie(movie), S_OK);
    clip_ = std::dynamic_pointer_cast<CSuperClip>(clip);
    expected_ = [](std::int64_t frame) { return frame; };
  }

  // Two clips of one movie and one of another, with in and out points.
  void LoadProject() {
    Tape("a.avi", 60);
    Tape("b.avi", 30);
    const std::string project =
        folder_.WriteFile("reel.tml", "# test reel\na.avi 10 29\n\"b.avi\" 5\na.avi 40 49\n");
    std::shared_ptr<IClvSuperClip> clip;
    ASSERT_EQ(server_->get_SuperClip(kDeckSuperClipKind, kDeckSuperClipOptions, &clip), S_OK);
    ASSERT_EQ(clip->AddProject(project), S_OK);
    clip_ = std::dynamic_pointer_cast<CSuperClip>(clip);
    ASSERT_EQ(clip_->OutputFrames(), 55);
    expected_ = [](std::int64_t t) {
      return t < 20 ? 10 + t : t < 45 ? 5 + (t - 20) : 40 + (t - 45);
    };
  }

  void Queue(std::int64_t first, std::int64_t count) {
    ASSERT_EQ(timeline_->AddSuperClipFragment(clip_, first / rate_, count / rate_), S_OK);
  }

  // Lets decoding catch up (unless told not to), then the next output tick.
  Shown Tick(bool wait = true) {
    if (wait) {
      EXPECT_TRUE(monitor_->WaitDecoded(kWaitMs));
    }
    ++tick_;
    clock_->Set(timeline_->grid().TimeOfTick(tick_) + 1000);
    const std::size_t before = record_.size();
    board_->PumpOutput();
    EXPECT_EQ(record_.size(), before + 1);
    const OutputFrame frame = record_.empty() ? OutputFrame{} : record_.back();
    const CBoardMonitor::View view = monitor_->Current();
    EXPECT_EQ(view.tick, frame.tick);
    EXPECT_EQ(view.wanted, frame.tape_frame);
    EXPECT_EQ(view.right, frame.monitor == MonitorShowed::kRightPicture);
    std::vector<std::uint32_t> output;
    ComposeOutput(view.picture.get(), view.placement, &output);
    const Shown shown{
        frame.tape_frame, frame.monitor, view.shown,
        testing::StripAt(output.data(), view.placement.output_width, view.placement.output_height,
                         -view.placement.x, -view.placement.y, 64, 48)};
    // Never lying: the picture is the one the monitor names, and named right only when it is.
    if (shown.view_shown >= 0 && shown.strip) {
      EXPECT_EQ(static_cast<std::int64_t>(*shown.strip), expected_(shown.view_shown));
    }
    if (shown.monitor == MonitorShowed::kRightPicture && frame.tape_frame >= 0) {
      EXPECT_EQ(shown.view_shown, frame.tape_frame);
    }
    return shown;
  }

  void Subscribe() {
    board_->Subscribe([this](const OutputFrame& frame) { record_.push_back(frame); });
  }

  // Plays ticks and checks that every one showed exactly the right picture; gives the frames.
  std::vector<std::int64_t> PlayRight(int ticks) {
    std::vector<std::int64_t> frames;
    for (int i = 0; i < ticks; ++i) {
      const Shown shown = Tick();
      EXPECT_EQ(shown.monitor, MonitorShowed::kRightPicture) << "tick " << i;
      EXPECT_TRUE(shown.strip.has_value()) << "tick " << i;
      if (shown.strip) {
        EXPECT_EQ(static_cast<std::int64_t>(*shown.strip), expected_(shown.tape_frame));
      }
      frames.push_back(shown.tape_frame);
    }
    return frames;
  }

  void RunMotions() {
    Subscribe();
    const std::int64_t frames = clip_->OutputFrames();
    // Loaded: the whole tape queued in real time, standing on its first frame.
    ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
    Queue(0, frames);
    ASSERT_EQ(timeline_->put_State(ClvPlaybackStopped), S_OK);
    ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
    EXPECT_EQ(PlayRight(3), (std::vector<std::int64_t>{0, 0, 0}));

    // Play: every frame once, in order.
    ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
    std::vector<std::int64_t> played = PlayRight(static_cast<int>(frames) + 2);
    std::vector<std::int64_t> order;
    for (std::int64_t f = 0; f < frames; ++f) order.push_back(f);
    order.push_back(frames - 1);
    order.push_back(frames - 1);
    EXPECT_EQ(played, order);

    // Cue to 30: the next tick shows it.
    ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
    Queue(30, frames - 30);
    ASSERT_EQ(timeline_->put_State(ClvPlaybackStopped), S_OK);
    ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
    EXPECT_EQ(PlayRight(2), (std::vector<std::int64_t>{30, 30}));

    // Jog +0.5 from 30: each frame for two output frames, the second one held.
    ASSERT_EQ(timeline_->Reset(AllImages), S_OK);
    for (std::int64_t f = 30; f < 38; ++f) {
      Queue(f, 1);
      ASSERT_EQ(timeline_->HoldLastFrame(1 / rate_), S_OK);
    }
    ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
    ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
    // The first tick of play begins the period of 30, the next shows it held.
    const std::vector<std::int64_t> jog = PlayRight(16);
    std::vector<std::int64_t> twice;
    for (std::int64_t f = 30; f < 38; ++f) twice.insert(twice.end(), {f, f});
    EXPECT_EQ(jog, twice);

    // Shuttle -2 from 40 down to the start.
    ASSERT_EQ(timeline_->Reset(AllImages), S_OK);
    for (std::int64_t f = 40; f >= 0; f -= 2) Queue(f, 1);
    ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
    ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
    const std::vector<std::int64_t> shuttle = PlayRight(21);
    std::vector<std::int64_t> down;
    for (std::int64_t f = 40; f >= 0; f -= 2) down.push_back(f);
    EXPECT_EQ(shuttle, down);
    EXPECT_EQ(monitor_->counts().missed, 0);
  }

  testing::TempFolder folder_;
  std::shared_ptr<CSteppedClock> clock_;
  std::unique_ptr<CSoftwareBoard> board_;
  std::shared_ptr<IClvPlayServer> server_;
  std::shared_ptr<CTimeline> timeline_;
  std::shared_ptr<CSuperClip> clip_;
  std::unique_ptr<CBoardMonitor> monitor_;
  std::function<std::int64_t(std::int64_t)> expected_;
  std::vector<OutputFrame> record_;  // filled on this thread by PumpOutput
  double rate_ = 25.0;
  std::int64_t tick_ = 0;
};

TEST_F(MonitorTest, MovieAt25ShowsPlayCueJogAndShuttleExactly) {
  Start("pal");
  LoadMovie(Tape("tape.avi", 50));
  RunMotions();
  EXPECT_NE(monitor_->Current().title.find("tape.avi"), std::string::npos);
  EXPECT_NE(monitor_->Current().title.find("pal 720\u00d7576 25"), std::string::npos);
}

TEST_F(MonitorTest, MovieAt2997ShowsPlayCueJogAndShuttleExactly) {
  Start("ntsc");
  LoadMovie(Tape("tape.avi", 60));
  RunMotions();
  EXPECT_NE(monitor_->Current().title.find("ntsc 720\u00d7486 29.97"), std::string::npos);
}

TEST_F(MonitorTest, ProjectWithInAndOutPointsAt25AndAt2997) {
  for (const char* format : {"pal", "ntsc"}) {
    SCOPED_TRACE(format);
    Start(format);
    LoadProject();
    RunMotions();
    EXPECT_NE(monitor_->Current().title.find("reel.tml"), std::string::npos);
    TearDown();
    record_.clear();
  }
}

TEST_F(MonitorTest, WhenDecodingLagsTheNearestPictureIsShownAndTheTickCountedMissed) {
  DecoderLimits limits;
  limits.poll_ms = 600000;  // the decoder wakes only at ticks: a cue finds nothing decoded
  limits.wake_on_changes = false;
  Start("pal", limits);
  Subscribe();
  LoadMovie(Tape("tape.avi", 50));
  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  Queue(0, 50);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  Tick();
  const std::string before = monitor_->Current().title;
  EXPECT_NE(before.find("00:00:00:00"), std::string::npos);
  EXPECT_EQ(before.find("output at"), std::string::npos);

  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  Queue(40, 10);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  const Shown late = Tick(false);
  EXPECT_EQ(late.tape_frame, 40);
  EXPECT_EQ(late.monitor, MonitorShowed::kOtherPicture);
  EXPECT_GE(late.view_shown, 0);
  EXPECT_LT(late.view_shown, 40);
  ASSERT_TRUE(late.strip.has_value());
  EXPECT_EQ(static_cast<std::int64_t>(*late.strip), late.view_shown);
  EXPECT_NE(monitor_->Current().title.find("(output at 00:00:01:15)"), std::string::npos);
  EXPECT_EQ(monitor_->counts().missed, 1);

  const Shown caught_up = Tick();
  EXPECT_EQ(caught_up.monitor, MonitorShowed::kRightPicture);
  EXPECT_EQ(caught_up.strip, 40u);
  EXPECT_EQ(monitor_->counts().ticks, 3);
  EXPECT_EQ(monitor_->counts().right, 2);
}

TEST_F(MonitorTest, TicksReachedAfterTheirFrameAreLateAndHandNothingOver) {
  Start("pal", {}, folder_.File("output.log"));
  Subscribe();
  LoadMovie(Tape("tape.avi", 50));
  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  Queue(0, 50);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
  PlayRight(3);
  int handed = 0;
  int heard = 0;
  monitor_->SetListener([&](const OutputFrame& frame, const auto&) {
    ++heard;
    if (frame.monitor != MonitorShowed::kLate) ++handed;
  });
  // The output thread wakes five frames late: every picture of the burst is decoded by then,
  // but only the newest tick, reached within its own frame, is handed over.
  ASSERT_TRUE(monitor_->WaitDecoded(kWaitMs));
  tick_ += 5;
  clock_->Set(timeline_->grid().TimeOfTick(tick_) + 1000);
  board_->PumpOutput();
  monitor_->SetListener(nullptr);
  ASSERT_EQ(record_.size(), 8u);
  for (std::size_t i = 3; i < 7; ++i) EXPECT_EQ(record_[i].monitor, MonitorShowed::kLate) << i;
  EXPECT_EQ(record_[7].monitor, MonitorShowed::kRightPicture);
  EXPECT_EQ(handed, 1);
  EXPECT_EQ(heard, 5);  // the late ticks too, so that a stream keeps one picture a tick
  EXPECT_EQ(monitor_->Current().tick, record_[7].tick);
  EXPECT_EQ(monitor_->counts().late, 4);
  EXPECT_EQ(monitor_->counts().right, 4);
  EXPECT_EQ(Tick().monitor, MonitorShowed::kRightPicture);  // on time again
  monitor_.reset();
  board_.reset();
  std::ifstream log(folder_.File("output.log"));
  std::string line;
  std::vector<std::string> words;
  while (std::getline(log, line)) words.push_back(line.substr(line.rfind(' ') + 1));
  EXPECT_EQ(words, (std::vector<std::string>{"shown", "shown", "shown", "late", "late", "late",
                                             "late", "shown", "shown"}));
}

TEST_F(MonitorTest, ACueWakesTheDecoderAtOnceWithoutATickOrAPoll) {
  DecoderLimits limits;
  limits.poll_ms = 600000;
  Start("pal", limits);
  Subscribe();
  LoadMovie(Tape("tape.avi", 50));
  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  Queue(0, 50);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  Tick();  // the monitor meets the timeline
  const std::int64_t decoded = monitor_->decoder_stats().decoded;
  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  Queue(40, 10);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  for (int ms = 0; ms < kWaitMs && monitor_->decoder_stats().decoded == decoded; ++ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GT(monitor_->decoder_stats().decoded, decoded);
  EXPECT_EQ(Tick(false).monitor, MonitorShowed::kRightPicture);
}

TEST_F(MonitorTest, DamagedAndCutMoviesShowWhatTheyCanAndNeverStop) {
  Start("pal");
  Subscribe();
  const std::string path = Tape("damaged.avi", 50);
  std::string bytes = testing::ReadFileBytes(path);
  ASSERT_TRUE(testing::DamageAviPictures(&bytes, 20, 30, 0.2, 5));
  folder_.WriteFile("damaged.avi", bytes);
  LoadMovie(path);
  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  Queue(0, 50);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
  for (int i = 0; i < 52; ++i) {
    const Shown shown = Tick();
    if (shown.tape_frame < 20 || shown.tape_frame >= 30) {
      EXPECT_EQ(shown.monitor, MonitorShowed::kRightPicture) << shown.tape_frame;
      EXPECT_EQ(shown.strip, static_cast<std::uint32_t>(shown.tape_frame));
    }
  }

  // Cut after loading: the lost end shows the last picture that could be decoded.
  const std::string cut = Tape("cut.avi", 400);
  LoadMovie(cut);
  std::filesystem::resize_file(cut, std::filesystem::file_size(cut) / 2);
  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  Queue(0, 400);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
  const std::int64_t missed_before = monitor_->counts().missed;
  for (int i = 0; i < 401; ++i) {
    const Shown shown = Tick();
    if (shown.tape_frame < 100) {
      EXPECT_EQ(shown.monitor, MonitorShowed::kRightPicture);
    }
    if (shown.tape_frame >= 390) {
      EXPECT_EQ(shown.monitor, MonitorShowed::kOtherPicture);
      EXPECT_GT(shown.view_shown, 100);
    }
  }
  EXPECT_GE(monitor_->counts().missed - missed_before, 10);
}

TEST_F(MonitorTest, TheCacheStaysWithinItsLimitsAndTheLogSaysWhatWasShown) {
  DecoderLimits limits;
  limits.max_pictures = 5;
  limits.read_ahead = 3;
  limits.max_bytes = 4 * 64 * 48 * 4;  // four small pictures
  Start("pal", limits, folder_.File("output.log"));
  Subscribe();
  LoadMovie(Tape("tape.avi", 40));
  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  Queue(0, 40);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
  int right = 0;
  for (int i = 0; i < 40; ++i) {
    right += Tick().monitor == MonitorShowed::kRightPicture;
    const CTapeDecoder::Stats stats = monitor_->decoder_stats();
    EXPECT_LE(stats.cached, 4u);
    EXPECT_LE(stats.cached_bytes, limits.max_bytes);
  }
  EXPECT_EQ(right, 40);
  EXPECT_GT(monitor_->decoder_stats().evicted, 20);

  monitor_.reset();
  clock_->Set(timeline_->grid().TimeOfTick(++tick_) + 1000);
  board_->PumpOutput();  // a tick without a monitor
  board_.reset();
  std::ifstream log(folder_.File("output.log"));
  std::string line;
  std::vector<std::string> words;
  while (std::getline(log, line)) {
    std::istringstream fields(line);
    std::string word, last;
    while (fields >> word) last = word;
    words.push_back(last);
  }
  ASSERT_EQ(words.size(), 41u);
  EXPECT_EQ(std::count(words.begin(), words.end(), "shown"), 40);
  EXPECT_EQ(words.back(), "-");
}

TEST_F(MonitorTest, A4KMovieOnA1080BoardKeepsOnlyWhatTheOutputShowsAndFitsItsReadAhead) {
  Start("1080-25");
  Subscribe();
  TapeSpec spec;
  spec.width = 3840;
  spec.height = 2160;
  spec.frames = 14;
  spec.quality = 31;
  std::string error;
  const std::string path = testing::MakeTestTape(folder_, "uhd.avi", spec, &error);
  ASSERT_FALSE(path.empty()) << error;
  LoadMovie(path);
  CMovieDecoder reference;
  ASSERT_EQ(reference.Open(path), S_OK);
  // The monitor's output equals the whole picture placed as the board places it.
  const auto check_output = [&](std::int64_t frame) {
    const CBoardMonitor::View view = monitor_->Current();
    ASSERT_NE(view.picture, nullptr);
    EXPECT_LE(view.picture->width, 1920);
    EXPECT_LE(view.picture->height, 1080);
    std::shared_ptr<const Picture> whole;
    ASSERT_EQ(reference.Decode(static_cast<std::uint32_t>(frame), &whole), S_OK);
    std::vector<std::uint32_t> shown, expected;
    ComposeOutput(view.picture.get(), view.placement, &shown);
    ComposeOutput(whole.get(), view.placement, &expected);
    EXPECT_TRUE(shown == expected) << "frame " << frame;
  };
  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  Queue(0, 14);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
  for (int i = 0; i < 8; ++i) {
    const Shown shown = Tick();
    EXPECT_EQ(shown.monitor, MonitorShowed::kRightPicture) << i;
    EXPECT_EQ(monitor_->Current().placement, (Placement{1920, 1080, 960, 540}));
    if (i % 3 == 0) check_output(shown.tape_frame);
  }
  // Another window of the material: the pictures cut for the old one are decoded again.
  ASSERT_EQ(timeline_->SetSourceRect(100, 50, 1920, 1080), S_OK);
  for (int i = 0; i < 6; ++i) {
    const Shown shown = Tick();
    EXPECT_EQ(shown.monitor, MonitorShowed::kRightPicture) << i;
    EXPECT_EQ(monitor_->Current().placement, (Placement{1920, 1080, 100, 50}));
    if (i % 3 == 0) check_output(shown.tape_frame);
  }
  const CTapeDecoder::Stats stats = monitor_->decoder_stats();
  EXPECT_EQ(stats.failed, 0);
  EXPECT_LE(stats.cached_bytes, DecoderLimits{}.max_bytes);
  EXPECT_EQ(monitor_->counts().missed, 0);
}

// The real player cues a long-GOP tape on a stepped board clock while the decoder is held between
// two packets: the board stays preparing and the cue bit clear however many ticks pass; once the
// decoder goes on, the board shows the cued picture at the first tick it is ready and only then
// the cue completes. A decoder that never gets the picture (a damaged tape) makes the board stop
// on error and the cue fail once the board's limit has passed, not hang.
TEST(MonitorWithPlayer, ACueCompletesOnlyOnceTheCuedPictureIsReadyAndFailsWithinTheLimit) {
  constexpr std::uint32_t kCueTo = 90;          // deep in the GOP: the decoder walks 90 pictures
  constexpr std::uint32_t kDamagedCueTo = 200;  // in the second GOP, never decoded before
  constexpr int kHeldTicks = 30;
  testing::TempFolder folder;
  TapeSpec spec = testing::SmallTape(10.0);
  spec.codec = TapeCodec::kH264;
  spec.gop = 150;
  std::string error;
  const std::string path = testing::MakeTestTape(folder, "gop.avi", spec, &error);
  ASSERT_FALSE(path.empty()) << error;
  BoardConfig config;
  ASSERT_TRUE(FindOutputFormat("pal", &config.format));
  auto clock = std::make_shared<CSteppedClock>(1'000'000'000);
  CSoftwareBoard board(config, clock);
  board.Register();
  std::atomic<bool> hold{false};
  std::atomic<int> held{0};  // packets the hook held
  auto release = [&] {
    hold = false;
    hold.notify_all();
  };
  {
    CBoardMonitor monitor(board, {}, -1, [&](const std::atomic<bool>& stopping) {
      if (!hold.load() || stopping.load()) return;
      ++held;
      hold.wait(true);
    });
    std::vector<OutputFrame> record;  // filled on this thread by PumpOutput
    board.Subscribe([&](const OutputFrame& frame) { record.push_back(frame); });
    const FrameGrid& grid = board.grid();
    auto tick = [&] {
      clock->Set(grid.TimeOfTick(grid.TickAt(clock->NowNs()) + 1));
      board.PumpOutput();
    };
    CClvrPlayer player;
    ASSERT_EQ(player.Initialize(), 0);
    ASSERT_EQ(player.InsertTape(path), 0);
    const std::shared_ptr<CTimeline> timeline = board.Timeline(0);
    ASSERT_TRUE(timeline);
    auto state = [&] {
      std::int32_t s = -1;
      timeline->get_State(&s);
      return s;
    };
    auto has = [&](const StatusBit& bit) {
      std::uint8_t s[16];
      player.ReadStatus(s, 0, 16);
      return bit.In(s);
    };
    ASSERT_TRUE(monitor.WaitDecoded(kWaitMs));

    hold = true;
    Timecode timecode;
    timecode.FromFrames(kCueTo, 25);
    player.CueUp(timecode);
    ASSERT_TRUE(testing::WaitFor([&] { return state() == ClvPlaybackPreparing; }, kWaitMs));
    ASSERT_TRUE(testing::WaitFor([&] { return held.load() > 0; }, kWaitMs));
    for (int i = 0; i < kHeldTicks; ++i) {
      tick();
      EXPECT_EQ(state(), ClvPlaybackPreparing) << "tick " << i;
      EXPECT_FALSE(has(status::CueUp_Complete)) << "tick " << i;
      EXPECT_NE(timeline->FrameOnOutput(), kCueTo);
    }
    release();
    ASSERT_TRUE(monitor.WaitDecoded(kWaitMs));
    tick();
    ASSERT_TRUE(testing::WaitFor([&] { return has(status::CueUp_Complete); }, kWaitMs));
    ASSERT_FALSE(record.empty());
    EXPECT_EQ(record.back().tape_frame, kCueTo);
    EXPECT_EQ(record.back().monitor, MonitorShowed::kRightPicture);

    // A decoder that never gets the picture: the cue fails once the limit has passed.
    hold = true;
    const int held_before = held.load();
    timecode.FromFrames(kDamagedCueTo, 25);
    player.CueUp(timecode);
    ASSERT_TRUE(testing::WaitFor([&] { return state() == ClvPlaybackPreparing; }, kWaitMs));
    ASSERT_TRUE(testing::WaitFor([&] { return held.load() > held_before; }, kWaitMs));
    const std::int64_t cued_ns = clock->NowNs();
    while (clock->NowNs() - cued_ns < CTimeline::kPrepareLimitNs) {
      EXPECT_EQ(state(), ClvPlaybackPreparing);
      tick();
    }
    tick();
    EXPECT_EQ(state(), ClvPlaybackStopOnError);
    ASSERT_TRUE(testing::WaitFor([&] { return !has(status::Preroll); }, kWaitMs));
    EXPECT_TRUE(has(status::Stop));
    EXPECT_FALSE(has(status::CueUp_Complete));
    EXPECT_EQ(timeline->FrameOnOutput(), kCueTo);  // the output never moved
    release();
    player.Stop();
  }
  UnregisterServerClasses();
}

// The real player on the board's real clock: whatever the machine's load, every tick the
// monitor calls right shows the picture of the frame on the output.
TEST(MonitorWithPlayer, PlayAndShuttleOnTheRealClockNeverShowAWrongPictureAsRight) {
  constexpr int kRealClockWaitS = 20;
  constexpr int kPollMs = 10;
  constexpr std::size_t kMovedFrames = 6;
  constexpr std::size_t kReverseFrames = 3;
  testing::TempFolder folder;
  TapeSpec spec = testing::SmallTape(4.0);
  std::string error;
  const std::string path = testing::MakeTestTape(folder, "tape.avi", spec, &error);
  ASSERT_FALSE(path.empty()) << error;
  CSoftwareBoard board{BoardConfig{}};
  board.Register();
  {
    CBoardMonitor monitor(board);
    // The listener only keeps what the monitor showed; the pictures are composed and read after
    // the run, so that the test's own work never makes the output thread late.
    std::mutex mutex;  // guards seen
    std::vector<CBoardMonitor::View> seen;
    monitor.SetListener([&](const OutputFrame&, const auto&) {
      CBoardMonitor::View view = monitor.Current();
      std::lock_guard lock(mutex);
      seen.push_back(std::move(view));
    });
    // Counts the distinct pictures the record called right from tick `from` on.
    auto right_frames_since = [&](std::size_t from) {
      std::lock_guard lock(mutex);
      std::set<std::int64_t> frames;
      for (std::size_t i = from; i < seen.size(); ++i) {
        if (seen[i].right && seen[i].wanted >= 0) frames.insert(seen[i].wanted);
      }
      return frames.size();
    };
    // A loaded machine (a sanitizer build beside other work) gets there later, not never.
    auto wait_for_right = [&](std::size_t from, std::size_t count) {
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::seconds(kRealClockWaitS);
      while (right_frames_since(from) < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
      }
    };
    auto ticks_seen = [&] {
      std::lock_guard lock(mutex);
      return seen.size();
    };
    CClvrPlayer player;
    ASSERT_EQ(player.Initialize(), 0);
    ASSERT_EQ(player.InsertTape(path), 0);
    player.Play();
    wait_for_right(0, kMovedFrames);
    const std::size_t reverse_from = ticks_seen();
    player.Shuttle(-2.0);
    wait_for_right(reverse_from, kReverseFrames);
    player.Stop();
    monitor.SetListener(nullptr);
    EXPECT_GE(right_frames_since(0), kMovedFrames);               // the pictures moved
    EXPECT_GE(right_frames_since(reverse_from), kReverseFrames);  // and turned round
    std::lock_guard lock(mutex);
    for (const CBoardMonitor::View& tick : seen) {
      std::vector<std::uint32_t> output;
      ComposeOutput(tick.picture.get(), tick.placement, &output);
      const auto strip =
          testing::StripAt(output.data(), tick.placement.output_width, tick.placement.output_height,
                           -tick.placement.x, -tick.placement.y, 64, 48);
      if (tick.shown >= 0 && strip) {
        EXPECT_EQ(static_cast<std::int64_t>(*strip), tick.shown);
      }
      if (tick.right && tick.wanted >= 0) {
        EXPECT_EQ(tick.shown, tick.wanted);
        EXPECT_EQ(strip, static_cast<std::uint32_t>(tick.wanted));
      }
    }
    EXPECT_GE(monitor.counts().ticks, static_cast<std::int64_t>(seen.size()));
  }
  UnregisterServerClasses();
}

}  // namespace
}  // namespace vxr
