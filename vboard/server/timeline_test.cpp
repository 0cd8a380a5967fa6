#include "vboard/server/timeline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <set>
#include <vector>

#include "vboard/server/frame_grid.h"

namespace vxr {
namespace {

struct Rate {
  int num, den;
};
constexpr Rate kRates[] = {{25, 1}, {30000, 1001}};

// Material of frames frames at the output rate.
std::shared_ptr<CSuperClip> Material(std::uint32_t frames, Rate rate) {
  auto clip = std::make_shared<CSuperClip>(static_cast<double>(rate.num) / rate.den);
  ClipEntry entry;
  entry.movie.path = "material.avi";
  entry.movie.rate_num = rate.num;
  entry.movie.rate_den = rate.den;
  entry.movie.frame_count = frames;
  entry.last_frame = frames - 1;
  clip->Append({entry});
  return clip;
}

// A timeline on a stepped clock whose output ticks start at time 0.
class SteppedTimeline {
 public:
  explicit SteppedTimeline(Rate rate)
      : clock_(std::make_shared<CSteppedClock>(0)),
        grid_(0, rate.num, rate.den),
        rate_(grid_.Rate()),
        timeline_(std::make_shared<CTimeline>(clock_, grid_)) {}

  CTimeline& operator*() { return *timeline_; }
  CTimeline* operator->() { return timeline_.get(); }
  double rate() const { return rate_; }
  // Moves the clock to offset_ns after output tick k.
  void At(std::int64_t tick, std::int64_t offset_ns = 0) {
    clock_->Set(grid_.TimeOfTick(tick) + offset_ns);
  }
  std::int64_t Tick() const { return grid_.TickAt(clock_->NowNs()); }
  std::int64_t PeriodNs(std::int64_t tick) const {
    return grid_.TimeOfTick(tick + 1) - grid_.TimeOfTick(tick);
  }
  std::int32_t State() {
    std::int32_t state = -1;
    EXPECT_EQ(timeline_->get_State(&state), S_OK);
    return state;
  }
  double Queued() {
    double t = -1.0;
    EXPECT_EQ(timeline_->get_QueuedTime(&t), S_OK);
    return t;
  }
  // Queues tape frames first .. last as the deck does: seconds from frame numbers.
  HRESULT Queue(const std::shared_ptr<CSuperClip>& clip, std::uint32_t first, std::uint32_t last) {
    return timeline_->AddSuperClipFragment(clip, first / rate_, (last - first + 1) / rate_);
  }
  // Prepares the queue and returns with the timeline stopped on its first picture.
  void Prepare() {
    ASSERT_EQ(timeline_->put_State(ClvPlaybackPreparing), S_OK);
    At(Tick() + CTimeline::kPrepareTicks);
    ASSERT_EQ(State(), ClvPlaybackStopped);
  }

 private:
  std::shared_ptr<CSteppedClock> clock_;
  FrameGrid grid_;
  double rate_;
  std::shared_ptr<CTimeline> timeline_;
};

// Points inside a frame period where rounding is most likely to bite.
std::vector<std::int64_t> OffsetsIn(std::int64_t period) {
  return {0, 1, period / 4, period / 2, period - 1};
}

TEST(FrameGrid, TicksAndTimesAgreeAtEveryBoundary) {
  for (const Rate rate : kRates) {
    const FrameGrid grid(1'000'000'007, rate.num, rate.den);
    EXPECT_EQ(grid.TickAt(grid.epoch_ns() - 1), -1);
    for (std::int64_t k : {0LL, 1LL, 2LL, 29LL, 30LL, 1000LL, 107892LL, 2'592'000LL}) {
      const std::int64_t t = grid.TimeOfTick(k);
      EXPECT_EQ(grid.TickAt(t), k);
      if (k > 0) {
        EXPECT_EQ(grid.TickAt(t - 1), k - 1);
      }
    }
    // No drift: 30000 frames of 30000/1001 take exactly 1001 seconds.
    if (rate.den == 1001) {
      EXPECT_EQ(grid.TimeOfTick(30000) - grid.TimeOfTick(0), 1'001'000'000'000LL);
    }
  }
}

TEST(Timeline, StateChangesTheBoardAcceptsAndRefuses) {
  SteppedTimeline tl(kRates[0]);
  auto clip = Material(100, kRates[0]);
  std::int32_t mode = -1;
  EXPECT_EQ(tl.State(), ClvPlaybackEmpty);
  EXPECT_EQ(tl->get_Mode(&mode), S_OK);
  EXPECT_EQ(mode, Realtime);
  EXPECT_EQ(tl->get_State(nullptr), E_POINTER);

  EXPECT_EQ(tl->put_State(ClvPlaybackPreparing), CLV_E_WRONG_STATE);  // nothing queued
  ASSERT_EQ(tl.Queue(clip, 0, 99), S_OK);
  EXPECT_EQ(tl->put_State(ClvPlaybackPlaying), CLV_E_WRONG_STATE);  // not prepared
  for (std::int32_t s : {0, 5, 6, -1}) EXPECT_EQ(tl->put_State(s), E_INVALIDARG);
  // Stopping or pausing an unprepared timeline readies it at once.
  for (std::int32_t s : {2, 3}) {
    EXPECT_EQ(tl->put_State(s), S_OK);
    EXPECT_EQ(tl.State(), s);
    EXPECT_EQ(tl->FrameOnOutput(), 0);
    ASSERT_EQ(tl->Reset(Realtime), S_OK);
    EXPECT_EQ(tl->put_State(s), CLV_E_WRONG_STATE);  // nothing queued now
    ASSERT_EQ(tl.Queue(clip, 0, 99), S_OK);
  }
  // Another picture than the one on the output: preparing takes its tick.
  ASSERT_EQ(tl->Reset(Realtime), S_OK);
  ASSERT_EQ(tl.Queue(clip, 1, 99), S_OK);

  EXPECT_EQ(tl->put_State(ClvPlaybackPreparing), S_OK);
  EXPECT_EQ(tl->put_State(ClvPlaybackPreparing), S_OK);
  EXPECT_EQ(tl->put_State(ClvPlaybackPlaying), CLV_E_NOT_READY);
  const std::int64_t start = tl.Tick();
  tl.At(start + CTimeline::kPrepareTicks - 1, tl.PeriodNs(0) - 1);
  EXPECT_EQ(tl.State(), ClvPlaybackPreparing);
  tl.At(start + CTimeline::kPrepareTicks);
  EXPECT_EQ(tl.State(), ClvPlaybackStopped);
  EXPECT_EQ(tl->FrameOnOutput(), 1);

  for (std::int32_t s : {3, 4, 2, 4, 3}) {
    EXPECT_EQ(tl->put_State(s), S_OK);
    EXPECT_EQ(tl.State(), s);
  }
  EXPECT_EQ(tl->put_State(ClvPlaybackPreparing), CLV_E_WRONG_STATE);

  tl->EnterStopOnError();
  EXPECT_EQ(tl.State(), ClvPlaybackStopOnError);
  EXPECT_EQ(tl->put_State(ClvPlaybackPlaying), CLV_E_WRONG_STATE);
  EXPECT_EQ(tl.Queue(clip, 0, 0), CLV_E_WRONG_STATE);
  EXPECT_EQ(tl->HoldLastFrame(0.04), CLV_E_WRONG_STATE);

  EXPECT_EQ(tl->Reset(2), E_INVALIDARG);
  EXPECT_EQ(tl.State(), ClvPlaybackStopOnError);
  EXPECT_EQ(tl->Reset(AllImages), S_OK);
  EXPECT_EQ(tl.State(), ClvPlaybackEmpty);
  EXPECT_EQ(tl->get_Mode(&mode), S_OK);
  EXPECT_EQ(mode, AllImages);
  EXPECT_EQ(tl.Queued(), 0.0);
  EXPECT_EQ(tl->FrameOnOutput(), 1);  // the last picture stays on the output
}

// With a ready check, preparing ends at the first tick from kPrepareTicks on where the check
// says the first queued picture (of its tape, framed by the source rectangle) is ready, and a
// picture still not ready kPrepareLimitNs after put_State(1) stops the timeline on error.
TEST(Timeline, PreparingEndsWhenTheFirstPictureIsReadyAndGivesUpAfterTheLimit) {
  SteppedTimeline tl(kRates[0]);
  auto clip = Material(100, kRates[0]);
  bool ready = false;
  std::vector<std::int64_t> asked;
  tl->SetReadyCheck([&](const std::shared_ptr<CSuperClip>& tape, std::int64_t frame,
                        const CTimeline::Rect& rect, CTimeline::Need) {
    EXPECT_EQ(tape, clip);
    EXPECT_EQ(rect.width, 16);
    asked.push_back(frame);
    return ready;
  });
  ASSERT_EQ(tl->SetSourceRect(0, 0, 16, 9), S_OK);
  ASSERT_EQ(tl.Queue(clip, 40, 99), S_OK);
  ASSERT_EQ(tl->put_State(ClvPlaybackPreparing), S_OK);
  const std::int64_t start = tl.Tick();
  tl.At(start + CTimeline::kPrepareTicks - 1);
  EXPECT_EQ(tl.State(), ClvPlaybackPreparing);
  EXPECT_TRUE(asked.empty());  // not asked before preparing may end
  tl.At(start + 20);
  EXPECT_EQ(tl.State(), ClvPlaybackPreparing);
  EXPECT_EQ(tl->put_State(ClvPlaybackPaused), CLV_E_NOT_READY);
  EXPECT_EQ(asked, std::vector<std::int64_t>(21 - CTimeline::kPrepareTicks, 40));  // every tick
  ready = true;
  tl.At(start + 21);
  EXPECT_EQ(tl.State(), ClvPlaybackStopped);
  EXPECT_EQ(tl->FrameOnOutput(), 40);

  // Never ready: stopped on error at the tick the limit falls on, the output left alone.
  ready = false;
  ASSERT_EQ(tl->Reset(Realtime), S_OK);
  ASSERT_EQ(tl.Queue(clip, 70, 99), S_OK);
  ASSERT_EQ(tl->put_State(ClvPlaybackPreparing), S_OK);
  const std::int64_t cued = tl.Tick();
  const std::int64_t limit_ticks = std::llround(CTimeline::kPrepareLimitNs * 1e-9 * tl.rate());
  tl.At(cued + limit_ticks - 1);
  EXPECT_EQ(tl.State(), ClvPlaybackPreparing);
  tl.At(cued + limit_ticks);
  EXPECT_EQ(tl.State(), ClvPlaybackStopOnError);
  EXPECT_EQ(tl->put_State(ClvPlaybackPaused), CLV_E_WRONG_STATE);
  EXPECT_EQ(tl->FrameOnOutput(), 40);

  // The picture on the output queued first again (a motion from a cue): ready, it is stopped at
  // once, within the tick, and a play started then shows the next picture two ticks on; not
  // ready, it waits for its tick as any other.
  for (const bool decoded : {false, true}) {
    ready = decoded;
    ASSERT_EQ(tl->Reset(AllImages), S_OK);
    ASSERT_EQ(tl.Queue(clip, 40, 40), S_OK);
    ASSERT_EQ(tl.Queue(clip, 41, 41), S_OK);
    const std::int64_t before = tl.Tick();
    tl.At(before, tl.PeriodNs(0) / 2);
    ASSERT_EQ(tl->put_State(ClvPlaybackPreparing), S_OK);
    EXPECT_EQ(tl.State(), decoded ? ClvPlaybackStopped : ClvPlaybackPreparing) << decoded;
    EXPECT_EQ(tl->FrameOnOutput(), 40);
    if (!decoded) continue;
    ASSERT_EQ(tl->put_State(ClvPlaybackPlaying), S_OK);
    tl.At(before + 1);
    EXPECT_EQ(tl->FrameOnOutput(), 40);
    tl.At(before + 2);
    EXPECT_EQ(tl->FrameOnOutput(), 41);
  }
}

// Once its first picture is ready, preparing waits for the picture queued after it (the first a
// motion started at once would show), kNextPictureTicks at the most; a motion from the picture
// on the output starts at once only with its next picture ready too, in either direction.
TEST(Timeline, PreparingWaitsAFewTicksForTheNextQueuedPicture) {
  SteppedTimeline tl(kRates[0]);
  auto clip = Material(100, kRates[0]);
  std::set<std::int64_t> ready;
  std::vector<std::int64_t> asked;
  // Pictures a reverse motion shows first need only be decoded.
  std::set<std::int64_t> decoded;
  tl->SetReadyCheck([&](const std::shared_ptr<CSuperClip>&, std::int64_t frame,
                        const CTimeline::Rect&, CTimeline::Need need) {
    if (need == CTimeline::Need::kDecoded) return decoded.count(frame) != 0;
    asked.push_back(frame);
    return ready.count(frame) != 0;
  });
  // A cue: the play from it queued; the cued picture ready, the next one late.
  ASSERT_EQ(tl.Queue(clip, 40, 99), S_OK);
  ASSERT_EQ(tl->put_State(ClvPlaybackPreparing), S_OK);
  const std::int64_t start = tl.Tick();
  ready = {40};
  decoded = {35, 36, 37, 38, 39, 42, 43};
  tl.At(start + CTimeline::kPrepareTicks);
  EXPECT_EQ(tl.State(), ClvPlaybackPreparing);
  EXPECT_EQ(asked, (std::vector<std::int64_t>{40, 41}));
  ready.insert(41);
  tl.At(start + CTimeline::kPrepareTicks + 1);
  EXPECT_EQ(tl.State(), ClvPlaybackStopped);
  EXPECT_EQ(tl->FrameOnOutput(), 40);

  // In real time the cue waits for the kReverseStartFrames pictures before it (none before the
  // tape's start) and the queued ones after its next up to kForwardStartFrames (none past the
  // tape's end) to be decoded, kBackPicturesTicks at the most once it is ready.
  for (const std::int64_t cue :
       {std::int64_t{50}, std::int64_t{2}, std::int64_t{98}, std::int64_t{80}}) {
    ready = {cue, cue + 1};
    decoded = {};
    ASSERT_EQ(tl->Reset(Realtime), S_OK);
    ASSERT_EQ(tl.Queue(clip, cue, 99), S_OK);
    ASSERT_EQ(tl->put_State(ClvPlaybackPreparing), S_OK);
    const std::int64_t first = tl.Tick() + CTimeline::kPrepareTicks;
    if (cue == 2) decoded = {0, 1, 4, 5};
    if (cue == 98) decoded = {93, 94, 95, 96, 97};
    if (cue == 50) {
      decoded = {46, 47, 48, 49, 52};  // 45 and 53 are late
      tl.At(first + 2);
      EXPECT_EQ(tl.State(), ClvPlaybackPreparing);
      decoded.insert(45);
      tl.At(first + 3);
      EXPECT_EQ(tl.State(), ClvPlaybackPreparing);
      decoded.insert(53);
      tl.At(first + 4);
      EXPECT_EQ(tl.State(), ClvPlaybackStopped);
      continue;
    }
    const bool at_once = cue != 80;
    tl.At(first + (at_once ? 0 : CTimeline::kBackPicturesTicks - 1));
    EXPECT_EQ(tl.State(), at_once ? ClvPlaybackStopped : ClvPlaybackPreparing) << cue;
    tl.At(first + CTimeline::kBackPicturesTicks);
    EXPECT_EQ(tl.State(), ClvPlaybackStopped) << cue;
    EXPECT_EQ(tl->FrameOnOutput(), cue);
  }

  // The next picture never ready: the board is ready kNextPictureTicks after the first was.
  ready = {60};
  decoded = {55, 56, 57, 58, 59, 62, 63};
  ASSERT_EQ(tl->Reset(Realtime), S_OK);
  ASSERT_EQ(tl.Queue(clip, 60, 99), S_OK);
  ASSERT_EQ(tl->put_State(ClvPlaybackPreparing), S_OK);
  const std::int64_t cued = tl.Tick() + CTimeline::kPrepareTicks;
  tl.At(cued + CTimeline::kNextPictureTicks - 1);
  EXPECT_EQ(tl.State(), ClvPlaybackPreparing);
  tl.At(cued + CTimeline::kNextPictureTicks);
  EXPECT_EQ(tl.State(), ClvPlaybackStopped);
  EXPECT_EQ(tl->FrameOnOutput(), 60);

  // A jog back from the cue: at once with 59 ready, else at the tick 59 is; a motion drives its
  // own pictures, so none before it is waited for.
  decoded = {};
  for (const bool next_ready : {true, false}) {
    ready = {60};
    if (next_ready) ready.insert(59);
    ASSERT_EQ(tl->Reset(AllImages), S_OK);
    ASSERT_EQ(tl.Queue(clip, 60, 60), S_OK);
    ASSERT_EQ(tl.Queue(clip, 59, 59), S_OK);
    ASSERT_EQ(tl->put_State(ClvPlaybackPreparing), S_OK);
    EXPECT_EQ(tl.State(), next_ready ? ClvPlaybackStopped : ClvPlaybackPreparing) << next_ready;
    if (next_ready) continue;
    ready.insert(59);
    tl.At(tl.Tick() + CTimeline::kPrepareTicks);
    EXPECT_EQ(tl.State(), ClvPlaybackStopped);
  }
}

// The deck's Realtime position: frame count - trunc(t x rate), the whole rest of the tape
// queued from the cue frame.
TEST(Timeline, RealtimeQueuedTimeNamesThePictureOnTheOutputAtEveryMoment) {
  for (const Rate rate : kRates) {
    SteppedTimeline tl(rate);
    const std::uint32_t frames = 60, cue = 17;
    auto clip = Material(frames, rate);
    ASSERT_EQ(tl.Queue(clip, cue, frames - 1), S_OK);
    tl.Prepare();
    ASSERT_EQ(tl->put_State(ClvPlaybackPaused), S_OK);
    const auto position = [&] {
      const double t = tl.Queued();
      return t <= 0 ? frames - 1 : frames - static_cast<std::int64_t>(std::trunc(t * tl.rate()));
    };
    EXPECT_EQ(position(), cue);

    ASSERT_EQ(tl->put_State(ClvPlaybackPlaying), S_OK);
    const std::int64_t start = tl.Tick();
    double previous = tl.Queued();
    for (std::int64_t k = start; k < start + (frames - cue) + 5; ++k) {
      for (std::int64_t offset : OffsetsIn(tl.PeriodNs(k))) {
        tl.At(k, offset);
        const std::int64_t on_output = tl->FrameOnOutput();
        EXPECT_EQ(position(), on_output) << rate.num << " tick " << k << "+" << offset;
        const double t = tl.Queued();
        EXPECT_LE(t, previous);
        previous = t;
      }
    }
    // The last picture had its period: play is over and the last picture stays.
    EXPECT_EQ(tl.Queued(), 0.0);
    EXPECT_EQ(tl->FrameOnOutput(), frames - 1);
    EXPECT_EQ(tl.State(), ClvPlaybackPlaying);
  }
}

TEST(Timeline, RealtimePlayShowsEachPictureForOnePeriodAndEndsOnTime) {
  for (const Rate rate : kRates) {
    SteppedTimeline tl(rate);
    auto clip = Material(10, rate);
    ASSERT_EQ(tl.Queue(clip, 0, 9), S_OK);
    tl.Prepare();
    const std::int64_t start = tl.Tick();
    ASSERT_EQ(tl->put_State(ClvPlaybackPlaying), S_OK);
    // Picture 0's period begins at the first tick after play starts, picture n at n ticks later.
    for (std::int64_t n = 0; n < 10; ++n) {
      tl.At(start + 1 + n);
      EXPECT_EQ(tl->FrameOnOutput(), n);
      EXPECT_GT(tl.Queued(), 0.0) << n;
    }
    tl.At(start + 11);
    EXPECT_EQ(tl.Queued(), 0.0);
    EXPECT_EQ(tl->FrameOnOutput(), 9);
    // The output history has one entry per tick, in order.
    const auto history = tl->OutputSince(start);
    ASSERT_EQ(history.size(), 11u);
    for (std::size_t i = 0; i < history.size(); ++i) {
      EXPECT_EQ(history[i].tick, start + 1 + static_cast<std::int64_t>(i));
      EXPECT_EQ(history[i].tape_frame, std::min<std::int64_t>(static_cast<std::int64_t>(i), 9));
    }
  }
}

TEST(Timeline, PausingStopsTheFallAndPlayGoesOnFromThePausedPicture) {
  SteppedTimeline tl(kRates[1]);
  auto clip = Material(100, kRates[1]);
  ASSERT_EQ(tl.Queue(clip, 0, 99), S_OK);
  tl.Prepare();
  const std::int64_t start = tl.Tick();
  ASSERT_EQ(tl->put_State(ClvPlaybackPlaying), S_OK);
  tl.At(start + 20, 5);
  ASSERT_EQ(tl->put_State(ClvPlaybackPaused), S_OK);
  const double paused = tl.Queued();
  const std::int64_t picture = tl->FrameOnOutput();
  EXPECT_EQ(picture, 19);
  tl.At(start + 500);
  EXPECT_EQ(tl.Queued(), paused);
  EXPECT_EQ(tl->FrameOnOutput(), picture);
  ASSERT_EQ(tl->put_State(ClvPlaybackPlaying), S_OK);
  tl.At(start + 501);
  EXPECT_EQ(tl->FrameOnOutput(), picture + 1);
  EXPECT_LT(tl.Queued(), paused);
}

// The deck's AllImages position: recent-frames entry (2 - trunc(t x rate + 0.5)).
TEST(Timeline, AllImagesQueuedTimeCountsThePicturesAfterTheOneOnTheOutput) {
  for (const Rate rate : kRates) {
    SteppedTimeline tl(rate);
    auto clip = Material(500, rate);
    ASSERT_EQ(tl->Reset(AllImages), S_OK);
    std::vector<std::int64_t> queued = {40};
    ASSERT_EQ(tl.Queue(clip, 40, 40), S_OK);
    tl.Prepare();
    ASSERT_EQ(tl->put_State(ClvPlaybackPlaying), S_OK);
    // Keep the pipeline topped up to three frames ahead at half speed (every second one held).
    std::int64_t next = 41;
    bool hold = true;
    const std::int64_t first_tick = tl.Tick();
    for (std::int64_t k = first_tick; k < first_tick + 40; ++k) {
      for (std::int64_t offset : OffsetsIn(tl.PeriodNs(k))) {
        tl.At(k, offset);
        const double t = tl.Queued();
        const auto n = static_cast<std::int64_t>(std::trunc(t * tl.rate() + 0.5));
        ASSERT_GE(n, 0);
        ASSERT_LT(n, static_cast<std::int64_t>(queued.size()));
        EXPECT_EQ(queued[queued.size() - 1 - static_cast<std::size_t>(n)], tl->FrameOnOutput())
            << rate.num << " tick " << k << "+" << offset;
        for (std::int64_t add = n; add < 3; ++add) {
          if (hold) {
            ASSERT_EQ(tl->HoldLastFrame(1.0 / tl.rate()), S_OK);
            queued.push_back(queued.back());
          } else {
            ASSERT_EQ(
                tl.Queue(clip, static_cast<std::uint32_t>(next), static_cast<std::uint32_t>(next)),
                S_OK);
            queued.push_back(next++);
          }
          hold = !hold;
        }
      }
    }
    EXPECT_GT(next, 55);
  }
}

TEST(Timeline, AllImagesShowsOnePicturePerTickAndHoldKeepsTheLastOneATickLonger) {
  for (const bool with_hold : {false, true}) {
    for (const bool add_more : {false, true}) {
      SteppedTimeline tl(kRates[0]);
      auto clip = Material(100, kRates[0]);
      ASSERT_EQ(tl->Reset(AllImages), S_OK);
      for (std::uint32_t f : {7u, 8u, 9u}) ASSERT_EQ(tl.Queue(clip, f, f), S_OK);
      if (with_hold) {
        ASSERT_EQ(tl->HoldLastFrame(1.0 / tl.rate()), S_OK);
      }
      tl.Prepare();
      const std::int64_t start = tl.Tick();
      ASSERT_EQ(tl->put_State(ClvPlaybackPlaying), S_OK);
      tl.At(start + 1);
      EXPECT_EQ(tl->FrameOnOutput(), 7);
      tl.At(start + 2);
      EXPECT_EQ(tl->FrameOnOutput(), 8);
      tl.At(start + 3);
      EXPECT_EQ(tl->FrameOnOutput(), 9);
      EXPECT_GT(tl.Queued(), 0.0);
      if (add_more) {
        // The next picture follows the last one, or its hold.
        ASSERT_EQ(tl.Queue(clip, 50, 50), S_OK);
        tl.At(start + 4);
        EXPECT_EQ(tl->FrameOnOutput(), with_hold ? 9 : 50);
        tl.At(start + 5);
        EXPECT_EQ(tl->FrameOnOutput(), 50);
      } else {
        // Play is over one tick later with the hold; the last picture stays.
        tl.At(start + 4);
        EXPECT_EQ(tl->FrameOnOutput(), 9);
        EXPECT_EQ(tl.Queued() > 0.0, with_hold);
        tl.At(start + 5);
        EXPECT_EQ(tl->FrameOnOutput(), 9);
        EXPECT_EQ(tl.Queued(), 0.0);
      }
    }
  }
}

TEST(Timeline, HoldLastFrameRefusals) {
  SteppedTimeline tl(kRates[0]);
  auto clip = Material(10, kRates[0]);
  EXPECT_EQ(tl->HoldLastFrame(0.04), CLV_E_WRONG_STATE);  // nothing was ever queued
  ASSERT_EQ(tl.Queue(clip, 3, 3), S_OK);
  for (double bad : {0.0, -0.04, std::nan(""), double{INFINITY}}) {
    EXPECT_EQ(tl->HoldLastFrame(bad), E_INVALIDARG) << bad;
  }
  EXPECT_EQ(tl->HoldLastFrame(0.001), S_OK);             // at least one period
  EXPECT_DOUBLE_EQ(tl.Queued(), (1 + 1.5) / tl.rate());  // Realtime: one picture after the first
}

TEST(Timeline, FragmentsOutsideTheMaterialOrOfNoLengthAreRefused) {
  for (const Rate rate : kRates) {
    SteppedTimeline tl(rate);
    const double r = tl.rate();
    auto clip = Material(100, rate);
    EXPECT_EQ(tl->AddSuperClipFragment(nullptr, 0, 1), E_POINTER);
    EXPECT_EQ(tl->AddSuperClipFragment(std::make_shared<CSuperClip>(r), 0, 1 / r), E_INVALIDARG);
    // Material of a board with the other rate: its tape frames are not this board's.
    const Rate other = rate.num == 25 ? Rate{30000, 1001} : Rate{25, 1};
    EXPECT_EQ(tl->AddSuperClipFragment(Material(100, other), 0, 1 / r), E_INVALIDARG);
    const struct {
      double start_frames, length_frames;
      HRESULT expected;
    } cases[] = {
        {0, 100, S_OK},          {-0.4, 1, S_OK},         {99.4, 1, S_OK},
        {-0.6, 1, E_INVALIDARG}, {99.6, 1, E_INVALIDARG}, {0, 100.6, E_INVALIDARG},
        {0, 0, E_INVALIDARG},    {5, -1, E_INVALIDARG},   {5, 0.4, E_INVALIDARG},
        {100, 1, E_INVALIDARG},
    };
    std::int64_t expected_periods = 0;
    for (const auto& c : cases) {
      EXPECT_EQ(tl->AddSuperClipFragment(clip, c.start_frames / r, c.length_frames / r), c.expected)
          << c.start_frames << " + " << c.length_frames;
      if (c.expected == S_OK) expected_periods += std::llround(c.length_frames);
    }
    for (double bad : {std::nan(""), double{INFINITY}, -double{INFINITY}}) {
      EXPECT_EQ(tl->AddSuperClipFragment(clip, bad, 1 / r), E_INVALIDARG);
      EXPECT_EQ(tl->AddSuperClipFragment(clip, 0, bad), E_INVALIDARG);
    }
    // Only the accepted stretches were queued: 102 pictures, the first on the output later.
    EXPECT_DOUBLE_EQ(tl.Queued(), (expected_periods - 1 + 1.5) / r);
  }
}

}  // namespace
}  // namespace vxr
