// The media broadcast users bring, made at test time with the library's own encoders from test
// tapes (every picture carries its frame number), loaded on a board with a stepped clock: for
// every row, cues across the tape and every tick of play, jog +1 and -1 and shuttle +3 and -3
// show exactly the movie picture whose showing time holds the tape frame. The decoder is waited
// for before each tick: this judges correctness; bench/monitor_accuracy judges speed.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "player/clv_movie.h"
#include "player/server_registry.h"
#include "testing/media/media_matrix.h"
#include "testing/media/test_pictures.h"
#include "testing/media/test_tapes.h"
#include "vboard/media/movie_decoder.h"
#include "vboard/program/board_monitor.h"
#include "vboard/program/placement.h"
#include "vboard/server/board_clock.h"
#include "vboard/server/movie.h"
#include "vboard/server/software_board.h"
#include "vboard/server/super_clip.h"
#include "vboard/server/timeline.h"

// The HEVC row's tape is written with libx265, whose encoder loses a few small blocks of its own
// when it is closed; the leak checker is told about that one library, nothing else.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:libx265.so\n";
}

namespace vxr {
namespace {

constexpr int kWaitMs = 20000;
constexpr int kMotionTicks = 8;
constexpr int kLargeCheckEvery = 3;  // material larger than the output: ticks per whole compare

using testing::MediaRow;

class MediaMatrix {
 public:
  explicit MediaMatrix(const MediaRow& row) : row_(row) {}
  ~MediaMatrix() {
    monitor_.reset();
    board_.reset();
    UnregisterServerClasses();
  }

  bool Make(const testing::TempFolder& folder, std::string* error) {
    testing::MadeRow made;
    if (!testing::MakeRow(folder, row_, testing::SpecOf(row_), "", &made, error)) return false;
    spec_ = made.spec;
    movie_ = made.movie;
    project_ = made.project;
    return true;
  }

  void Start(DecoderLimits limits = {}) {
    BoardConfig config;
    ASSERT_TRUE(FindOutputFormat(row_.board, &config.format));
    format_ = config.format;
    rate_ = config.format.FramesPerSecond();
    limits_ = limits.WithBoardSettings(config);
    if (Larger()) {
      ASSERT_EQ(reference_.Open(movie_), S_OK);
    }
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
    monitor_ = std::make_unique<CBoardMonitor>(*board_, limits);
    board_->Subscribe([this](const OutputFrame& frame) { record_.push_back(frame); });
    tick_ = timeline_->grid().TickAt(clock_->NowNs());

    std::shared_ptr<IClvSuperClip> clip;
    ASSERT_EQ(server->get_SuperClip(kDeckSuperClipKind, kDeckSuperClipOptions, &clip), S_OK);
    if (row_.project) {
      ASSERT_EQ(clip->AddProject(project_), S_OK);
    } else {
      auto movie = std::make_shared<CMovie>();
      ASSERT_EQ(movie->OpenFile(movie_), S_OK);
      ASSERT_EQ(clip->AddMovie(movie), S_OK);
    }
    std::uint32_t flags = 0;
    std::int32_t width = 0, height = 0;
    ASSERT_EQ(clip->GetFilledDataInfo(&flags, &width, &height), S_OK);
    EXPECT_EQ(width, row_.width);
    EXPECT_EQ(height, row_.height);
    EXPECT_EQ(flags & (kClvFlagInterlaced | kClvFlagFieldOrderMask),
              row_.interlaced ? kClvFlagInterlaced | kClvFlagTopFieldFirst : 0u);
    clip_ = std::dynamic_pointer_cast<CSuperClip>(clip);
    frames_ = clip_->OutputFrames();
    const double material = static_cast<double>(row_.rate_num) / row_.rate_den;
    const std::uint32_t first = row_.project ? testing::kRowInFrame : 0;
    EXPECT_EQ(frames_, static_cast<std::int64_t>(
                           std::ceil((row_.frames - first) / material * rate_ - 1e-6)));
  }

  // The movie picture whose showing time holds tape frame t.
  std::int64_t Expected(std::int64_t t) const { return testing::PictureAt(row_, spec_, rate_, t); }

  // Lets the decoder catch up, then one tick: the right picture, by its own number.
  void Tick(const char* motion) {
    const CBoardMonitor::View view = TickView(motion);
    const OutputFrame& frame = record_.back();
    EXPECT_EQ(frame.monitor, MonitorShowed::kRightPicture)
        << motion << " at tape frame " << frame.tape_frame;
    ASSERT_NE(view.picture, nullptr) << motion;
    if (!Larger()) {
      EXPECT_EQ(testing::StripOf(*view.picture), Expected(frame.tape_frame))
          << motion << " at tape frame " << frame.tape_frame;
      return;
    }
    // Larger than the output: an output-sized part is kept, and what the output shows equals
    // the whole picture placed as the board places it (centred, the rest cut). Its number is
    // in the strip at the top, which the output does not show: a whole decode tells it.
    EXPECT_LE(view.picture->width, format_.width);
    EXPECT_LE(view.picture->height, format_.height);
    EXPECT_EQ(view.placement,
              (Placement{format_.width, format_.height, (row_.width - format_.width) / 2,
                         (row_.height - format_.height) / 2}));
    if (++checked_ % kLargeCheckEvery != 0) return;
    std::shared_ptr<const Picture> whole;
    ASSERT_EQ(reference_.Decode(static_cast<std::uint32_t>(Expected(frame.tape_frame)), &whole),
              S_OK);
    EXPECT_EQ(testing::StripOf(*whole), Expected(frame.tape_frame));
    std::vector<std::uint32_t> shown, expected;
    ComposeOutput(view.picture.get(), view.placement, &shown);
    ComposeOutput(whole.get(), view.placement, &expected);
    EXPECT_TRUE(shown == expected) << motion << " at tape frame " << frame.tape_frame;
  }

  bool Larger() const { return row_.width > format_.width || row_.height > format_.height; }

  // Lets the decoder catch up, then one tick; what the monitor shows.
  CBoardMonitor::View TickView(const char* motion) {
    EXPECT_TRUE(monitor_->WaitDecoded(kWaitMs)) << motion;
    ++tick_;
    clock_->Set(timeline_->grid().TimeOfTick(tick_) + 1000);
    const std::size_t before = record_.size();
    board_->PumpOutput();
    EXPECT_EQ(record_.size(), before + 1) << motion;
    return monitor_->Current();
  }

  // Queues one picture a tick from first, step frames apart, and plays.
  void Move(std::int64_t first, std::int64_t step, int ticks) {
    ASSERT_EQ(timeline_->Reset(AllImages), S_OK);
    for (int i = 0; i < ticks; ++i) Queue(first + i * step, 1);
    ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
    ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
  }

  CBoardMonitor& monitor() { return *monitor_; }
  const OutputFrame& last() const { return record_.back(); }

  void Queue(std::int64_t first, std::int64_t count) {
    ASSERT_EQ(timeline_->AddSuperClipFragment(clip_, first / rate_, count / rate_), S_OK);
  }

  void Cue(std::int64_t frame) {
    ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
    Queue(frame, frames_ - frame);
    ASSERT_EQ(timeline_->put_State(ClvPlaybackStopped), S_OK);
    ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
    Tick("cue");
    EXPECT_EQ(record_.back().tape_frame, frame);
  }

  // One picture a tick from first, step frames apart, the way jog and shuttle queue them.
  void Step(const char* motion, std::int64_t first, std::int64_t step, int ticks = kMotionTicks) {
    Move(first, step, ticks);
    for (int i = 0; i < ticks; ++i) {
      Tick(motion);
      EXPECT_EQ(record_.back().tape_frame, first + i * step) << motion;
    }
  }

  void Run() {
    for (const std::int64_t at : {std::int64_t{0}, frames_ / 2, frames_ - 1}) Cue(at);
    Cue(frames_ / 3);
    ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
    for (int i = 0; i < 2 * kMotionTicks; ++i) Tick("play");
    // Backwards from the end across the last key frame, where the run before must be decoded.
    const std::int64_t end = frames_ - 1;
    Step("jog +1", frames_ / 2, 1);
    Step("jog -1", end, -1);
    Step("shuttle +3", 0, 3);
    Step("shuttle -3", end, -3);
    Step("jog -1 from the middle", frames_ / 2 + 2, -1);
    const CTapeDecoder::Stats stats = monitor_->decoder_stats();
    EXPECT_EQ(stats.failed, 0);
    EXPECT_LE(stats.peak_bytes, limits_.max_bytes + limits_.max_kept_bytes);
  }

 private:
  const MediaRow& row_;
  TapeSpec spec_;
  OutputFormat format_;
  DecoderLimits limits_;
  CMovieDecoder reference_;  // whole pictures of material larger than the output
  int checked_ = 0;          // ticks of such material: every few are compared with it
  std::string movie_;
  std::string project_;
  double rate_ = 25.0;
  std::shared_ptr<CSteppedClock> clock_;
  std::unique_ptr<CSoftwareBoard> board_;
  std::shared_ptr<CTimeline> timeline_;
  std::unique_ptr<CBoardMonitor> monitor_;
  std::shared_ptr<CSuperClip> clip_;
  std::vector<OutputFrame> record_;  // filled on this thread by PumpOutput
  std::int64_t tick_ = 0;
  std::int64_t frames_ = 0;
};

TEST(MediaMatrix, EveryRowShowsTheRightPictureAtEverySpeed) {
  av_log_set_level(AV_LOG_ERROR);  // the encoders' banners
  testing::TempFolder folder;
  int played = 0;
  for (const MediaRow& row : testing::MediaRows()) {
    SCOPED_TRACE(row.name);
    if (!testing::HasEncoder(row)) {
      std::printf("[ skipped  ] %s: the library has no %s encoder\n", row.name, row.encoder);
      continue;
    }
    MediaMatrix matrix(row);
    std::string error;
    ASSERT_TRUE(matrix.Make(folder, &error)) << error;
    matrix.Start();
    if (::testing::Test::HasFatalFailure()) return;
    matrix.Run();
    ++played;
  }
  EXPECT_GE(played, 12);
}

}  // namespace
}  // namespace vxr

namespace vxr {
namespace {

// Long-GOP material backwards within a budget far below one group of pictures, then wind.
TEST(MediaMatrix, LongGopBackwardsWithinASmallBudgetAndKeyFramesForWind) {
  av_log_set_level(AV_LOG_ERROR);
  constexpr int kGop = 50;
  const MediaRow row = {"H.264 GOP 50",
                        "wind.mkv",
                        "libx264",
                        "yuv420p",
                        "preset=superfast;x264-params=scenecut=0:log=-1",
                        kGop,
                        2,
                        64,
                        48,
                        25,
                        1,
                        "pal",
                        false,
                        nullptr,
                        48000,
                        false,
                        400};
  if (!testing::HasEncoder(row)) GTEST_SKIP() << "no libx264";
  testing::TempFolder folder;
  MediaMatrix matrix(row);
  std::string error;
  ASSERT_TRUE(matrix.Make(folder, &error)) << error;
  DecoderLimits limits;
  constexpr std::size_t kPicture = 64 * 48 * 4;
  limits.max_bytes = 12 * kPicture;       // converted: a few more than the read-ahead
  limits.max_kept_bytes = 12 * kPicture;  // kept as decoded: about a fifth of a group
  matrix.Start(limits);
  ASSERT_FALSE(::testing::Test::HasFatalFailure());

  // Backwards across two key frames: every tick its own picture, the memory within the budget.
  matrix.Cue(130);
  // Told to stay, the decoder prepares the run before the cue at once, not after a third of a
  // second of standing still.
  ASSERT_TRUE(matrix.monitor().WaitDecoded(kWaitMs));
  EXPECT_GT(matrix.monitor().decoder_stats().kept, 0u);
  matrix.Step("jog -1", 130, -1, 70);
  const CTapeDecoder::Stats stats = matrix.monitor().decoder_stats();
  EXPECT_GT(stats.kept, 0u);
  EXPECT_LE(stats.kept_bytes, limits.max_kept_bytes);
  EXPECT_LE(stats.peak_bytes, limits.max_bytes + limits.max_kept_bytes);
  EXPECT_EQ(stats.key_frames, 0);

  // Wind: once the pace is known each tick shows the key frame at or before the output's frame,
  // named as such, and the record counts it as a key frame, never as the tick's picture.
  constexpr int kWindTicks = 30;
  constexpr int kWindStep = 12;
  const CBoardMonitor::Counts before = matrix.monitor().counts();
  matrix.Move(0, kWindStep, kWindTicks);
  int key_frames = 0, right = 0;
  for (int i = 0; i < kWindTicks; ++i) {
    const CBoardMonitor::View view = matrix.TickView("wind");
    const OutputFrame& frame = matrix.last();
    ASSERT_NE(view.picture, nullptr);
    const std::optional<std::uint32_t> strip = testing::StripOf(*view.picture);
    ASSERT_TRUE(strip.has_value());
    EXPECT_EQ(static_cast<std::int64_t>(*strip), view.shown) << "never named another picture";
    if (frame.monitor == MonitorShowed::kRightPicture) {
      EXPECT_EQ(view.shown, frame.tape_frame);
      ++right;
      continue;
    }
    EXPECT_EQ(frame.monitor, MonitorShowed::kKeyFrame) << "at " << frame.tape_frame;
    EXPECT_EQ(view.shown, frame.tape_frame / kGop * kGop) << "at " << frame.tape_frame;
    EXPECT_NE(view.shown, frame.tape_frame);
    ++key_frames;
  }
  EXPECT_GE(key_frames, kWindTicks / 2);
  EXPECT_GT(matrix.monitor().decoder_stats().key_frames, 0);
  const CBoardMonitor::Counts after = matrix.monitor().counts();
  EXPECT_EQ(after.key - before.key, key_frames);
  EXPECT_EQ(after.right - before.right, right);
  // Where the wind stops, the output's own picture.
  matrix.Tick("held after wind");
}

}  // namespace
}  // namespace vxr
