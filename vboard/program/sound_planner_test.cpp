#include "vboard/program/sound_planner.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vxr {
namespace {

TEST(SoundPlannerTest, SoundFollowsOnlyConsecutiveFramesForwardAndFadesAtEveryChange) {
  CSoundPlanner planner(25, 1);
  // Still on frame 100: silence.
  EXPECT_TRUE(planner.Plan(0, 100, -1).silent);
  EXPECT_TRUE(planner.Plan(1, 100, 101).silent);
  // Play: frame 101 plays 101's sound from its start, fading in; then continuously on.
  TickSound first = planner.Plan(2, 101, 102);
  EXPECT_FALSE(first.silent);
  EXPECT_EQ(first.tape_sample, 101 * 1920);
  EXPECT_EQ(first.samples, 1920);
  EXPECT_EQ(first.fade_in, CSoundPlanner::kFadeSamples);
  TickSound second = planner.Plan(3, 102, 103);
  EXPECT_EQ(second.tape_sample, 102 * 1920);
  EXPECT_EQ(second.fade_in, 0);
  // Still: the sound after the last played fades out over 5 ms, then silence.
  TickSound stop = planner.Plan(4, 102, -1);
  EXPECT_FALSE(stop.silent);
  EXPECT_EQ(stop.tape_sample, 103 * 1920);
  EXPECT_EQ(stop.fade_out, CSoundPlanner::kFadeSamples);
  EXPECT_TRUE(planner.Plan(5, 102, -1).silent);
  // +0.5 steps forward every other tick but repeats the frame: silent throughout.
  EXPECT_TRUE(planner.Plan(6, 103, 103).silent);
  EXPECT_TRUE(planner.Plan(7, 103, 104).silent);
  // Reverse and +2: silent.
  EXPECT_TRUE(planner.Plan(8, 102, 101).silent);
  EXPECT_TRUE(planner.Plan(9, 104, 106).silent);
  // A cue jumps; play from there starts at the new frame's sound.
  EXPECT_TRUE(planner.Plan(10, 500, -1).silent);
  EXPECT_EQ(planner.Plan(11, 501, 502).tape_sample, 501 * 1920);
}

TEST(SoundPlannerTest, AtThirtyThousandOver1001PlayIsContinuousAndNeverDriftsFromTheFrames) {
  CSoundPlanner planner(30000, 1001);
  planner.Plan(0, 999, -1);
  std::int64_t expected_next = -1;
  for (std::int64_t tick = 1; tick < 30001; ++tick) {
    const std::int64_t frame = 999 + tick;
    const TickSound sound = planner.Plan(tick + 7, frame, frame + 1);  // any tick phase
    ASSERT_FALSE(sound.silent);
    if (expected_next >= 0) {
      ASSERT_EQ(sound.tape_sample, expected_next) << tick;
    }
    // Within one sample of the frame's own start, so picture and sound never drift apart.
    const std::int64_t frame_start = (frame * 48000 * 1001 * 2 + 30000) / 60000;
    ASSERT_LE(std::llabs(sound.tape_sample - frame_start), 1) << tick;
    expected_next = sound.tape_sample + sound.samples;
  }
}

}  // namespace
}  // namespace vxr
