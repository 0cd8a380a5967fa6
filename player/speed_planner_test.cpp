#include "player/speed_planner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <vector>

namespace vxr {
namespace {

constexpr double kRate = 25.0;
constexpr double kFrame = 1.0 / kRate;
constexpr std::uint32_t kLast = 999;

std::vector<std::uint32_t> Fill(CSpeedPlanner& planner, double now, int queued) {
  std::uint32_t frames[CSpeedPlanner::kPipeline] = {};
  const int n = planner.Refill(now, queued, kLast, frames);
  return {frames + queued, frames + queued + n};
}

using Frames = std::vector<std::uint32_t>;

TEST(SpeedPlannerTest, JogFromAStillShowsTheNextFramesInTurn) {
  CSpeedPlanner planner(kRate);
  planner.Enter(1.0, 100.5);
  planner.Begin(0.0);  // 100 goes on the output
  // Half a frame after the start: the next three output frames show 101, 102, 103.
  EXPECT_EQ(Fill(planner, 0.5 * kFrame, 0), (Frames{101, 102, 103}));
  // A refill one frame later tops up with the one that follows, not with the clock's guess.
  EXPECT_EQ(Fill(planner, 1.6 * kFrame, 2), (Frames{104}));
  EXPECT_EQ(Fill(planner, 0.0, CSpeedPlanner::kPipeline), Frames{});
  EXPECT_EQ(Fill(planner, 0.0, -1), Frames{});
}

TEST(SpeedPlannerTest, ASpeedChangeGoesOnFromTheLastPictureQueued) {
  CSpeedPlanner planner(kRate);
  planner.Enter(1.0, 124.5);
  planner.Begin(0.0);
  ASSERT_EQ(Fill(planner, 0.5 * kFrame, 0), (Frames{125, 126, 127}));
  // Stop the wheel while 126 and 127 are still queued: the picture holds on 127.
  planner.ChangeSpeed(0.0, 0.9 * kFrame);
  EXPECT_EQ(Fill(planner, 1.5 * kFrame, 2), (Frames{127}));
  EXPECT_EQ(Fill(planner, 2.5 * kFrame, 2), (Frames{127}));
  // Reverse at twice the speed: it turns round at 127. The first step back is the speeds' mean
  // since the previous refill (0.0 for 0.4 of a frame, then -2.0): 127.5 - 1.2 is 126.
  planner.ChangeSpeed(-2.0, 2.9 * kFrame);
  EXPECT_EQ(Fill(planner, 3.5 * kFrame, 2), (Frames{126}));
  EXPECT_EQ(Fill(planner, 4.5 * kFrame, 1), (Frames{124, 122}));
  // Slowing down keeps the direction: the mean (-1.1) is bounded by the new speed, -0.5.
  planner.ChangeSpeed(-0.5, 4.9 * kFrame);
  EXPECT_EQ(Fill(planner, 5.5 * kFrame, 2), (Frames{121}));
  EXPECT_EQ(Fill(planner, 6.5 * kFrame, 2), (Frames{121}));
  EXPECT_EQ(Fill(planner, 7.5 * kFrame, 2), (Frames{120}));
}

TEST(SpeedPlannerTest, AnEmptyPipelineRestartsFromTheClock) {
  CSpeedPlanner planner(kRate);
  planner.Enter(3.0, 200.5);
  planner.Begin(0.0);
  ASSERT_EQ(Fill(planner, 0.5 * kFrame, 0), (Frames{203, 206, 209}));
  // The output caught up after a late wake-up 20 frames on: the clock says where the tape is,
  // 200.5 + 3 x 20.5 = 262.
  EXPECT_EQ(Fill(planner, 20.0 * kFrame, 0), (Frames{262, 265, 268}));
  // A speed change on an emptied pipeline counts from the picture on the output (268, at
  // position 268.0), from now: 268.0 + 0.7 frames is still 268.
  planner.ChangeSpeed(1.0, 39.8 * kFrame);
  EXPECT_EQ(Fill(planner, 40.0 * kFrame, 0), (Frames{268, 269, 270}));
}

TEST(SpeedPlannerTest, TheEndsOfTheTapeBoundThePositions) {
  CSpeedPlanner planner(kRate);
  planner.Enter(-100.0, 150.5);
  planner.Begin(0.0);
  EXPECT_EQ(Fill(planner, 0.5 * kFrame, 0), (Frames{50, 0, 0}));
  // Turning at the start leaves it from there: the first step is bounded by the new speed.
  planner.ChangeSpeed(1.0, 1.0 * kFrame);
  EXPECT_EQ(Fill(planner, 1.5 * kFrame, 2), (Frames{0}));
  EXPECT_EQ(Fill(planner, 2.5 * kFrame, 2), (Frames{1}));
  planner.Halt(kLast);
  EXPECT_EQ(planner.Speed(), 0.0);
  EXPECT_EQ(planner.Origin(), kLast + 0.5);
}

// A wheel turned by hand: the speed changes every 20 ms (twice per output frame) through
// pattern. On a stepped clock the output shows one queued picture per frame and the player
// refills every 30 ms (its waits: three quarters of a frame after topping up, half a frame while
// full). Every picture shown moves in the direction of the speed it was planned at, by no more
// than that speed allows. Returns the largest distance between the picture shown and the
// position the commanded speeds reach.
double TurnTheWheel(const std::vector<double>& pattern) {
  CSpeedPlanner planner(kRate);
  planner.Enter(pattern[0], 500.5);
  planner.Begin(0.0);
  struct Queued {
    std::uint32_t frame;
    double speed;
  };
  std::deque<Queued> pending;
  Queued on_output{500, pattern[0]};
  std::size_t changes = 0;
  double commanded = 500.5, worst_lag = 0.0;
  for (int ms = 0; ms < 4000; ++ms) {
    const double now = ms / 1000.0;
    if (ms % 40 == 0 && ms > 0 && !pending.empty()) {
      const Queued next = pending.front();
      pending.pop_front();
      const double step = static_cast<double>(next.frame) - on_output.frame;
      const double direction = next.speed > 0.0 ? 1.0 : next.speed < 0.0 ? -1.0 : 0.0;
      if (direction == 0.0) {
        EXPECT_EQ(step, 0.0) << "at " << ms << " ms";
      } else {
        EXPECT_GE(step * direction, 0.0) << "at " << ms << " ms";
      }
      EXPECT_LE(std::fabs(step), std::floor(std::fabs(next.speed) * 4.0 / 3.0) + 1.0)
          << "at " << ms << " ms";
      on_output = next;
      worst_lag = std::max(worst_lag, std::fabs(commanded - (next.frame + 0.5)));
    }
    if (ms % 20 == 0 && ms > 0) planner.ChangeSpeed(pattern[++changes % pattern.size()], now);
    commanded += planner.Speed() * kRate / 1000.0;
    if (ms % 30 == 15) {
      std::uint32_t frames[CSpeedPlanner::kPipeline];
      const int queued = static_cast<int>(pending.size());
      const int n = planner.Refill(now, queued, kLast, frames);
      for (int i = queued; i < queued + n; ++i) pending.push_back({frames[i], planner.Speed()});
      EXPECT_LE(pending.size(), static_cast<std::size_t>(CSpeedPlanner::kPipeline));
    }
  }
  return worst_lag;
}

TEST(SpeedPlannerTest, AWheelNeverThrowsThePictureBack) {
  const double lag = TurnTheWheel({1.0,  0.5, 0.0,  -0.5, -1.0, -2.0, -1.0, 0.0,  1.0,  2.0,
                                   -2.0, 2.0, -1.0, 1.0,  0.0,  0.0,  3.0,  -3.0, 0.25, -0.25});
  // At most the pictures queued and the one shown, at up to 3 frames a frame, behind.
  EXPECT_LT(lag, 4.0 * 3.0 + 1.0);
}

TEST(SpeedPlannerTest, AWheelRockedFasterThanTheOutputDoesNotCreep) {
  // Each refill sees +1.0, the output frame's mean is 0.0: the picture stays near 500.
  EXPECT_LE(TurnTheWheel({1.0, -1.0}), 4.0);
  EXPECT_LT(TurnTheWheel({0.1, -0.1}), 2.0);
}

}  // namespace
}  // namespace vxr
