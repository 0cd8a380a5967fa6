#include "vboard/program/output_motion.h"

#include <gtest/gtest.h>

#include <memory>

namespace vxr {
namespace {

CTimeline::Outlook Queued(const std::shared_ptr<CSuperClip>& tape, std::int64_t on_output,
                          std::initializer_list<std::int64_t> next, bool advancing = true) {
  CTimeline::Outlook outlook;
  outlook.on_output = CTimeline::TapePicture{tape, on_output};
  for (const std::int64_t frame : next) outlook.next.push_back(CTimeline::TapePicture{tape, frame});
  outlook.advancing = advancing;
  return outlook;
}

TEST(OutputMotion, TheQueueSetsThePaceBeforeTheOutputHasMoved) {
  const auto tape = std::make_shared<CSuperClip>(25.0);
  const auto other = std::make_shared<CSuperClip>(25.0);
  // A cue, then jog -1: the output has shown 130 twice, the player has queued 129, 128, 127.
  const OutputMotion cued = OutputMotion::Measured({130, 130});
  EXPECT_EQ(cued.pace, 0.0);
  EXPECT_FALSE(cued.still) << "two ticks are no pace window";
  const OutputMotion jog = OutputMotion::Read(Queued(tape, 130, {129, 128, 127}), cued);
  EXPECT_EQ(jog.pace, -1.0);
  EXPECT_TRUE(jog.commanded);
  EXPECT_FALSE(jog.still);
  EXPECT_FALSE(jog.winding);

  // Told to stay (cued, paused or preparing): still at once, whatever is queued for a play.
  const OutputMotion paused = OutputMotion::Read(Queued(tape, 500, {501, 502}, false), cued);
  EXPECT_TRUE(paused.still);
  EXPECT_EQ(paused.pace, 0.0);
  // Playing holds only (shuttle at 0): still too.
  EXPECT_TRUE(OutputMotion::Read(Queued(tape, 40, {40, 40, 40}), cued).still);

  // Shuttle -3, wind, and a cue's jump followed by play.
  EXPECT_EQ(OutputMotion::Read(Queued(tape, 300, {297, 294, 291}), cued).pace, -3.0);
  const OutputMotion wind = OutputMotion::Read(Queued(tape, 0, {100, 200, 300}), cued);
  EXPECT_EQ(wind.pace, 100.0);
  EXPECT_TRUE(wind.winding);
  const OutputMotion jump = OutputMotion::Read(Queued(tape, 100, {5000, 5001, 5002}), cued);
  EXPECT_EQ(jump.pace, 1.0);
  EXPECT_FALSE(jump.winding);

  // Slow motion: the mean of the queue, or the measured pace when it goes the same way.
  EXPECT_DOUBLE_EQ(OutputMotion::Read(Queued(tape, 10, {10, 11, 11}), cued).pace, 1.0 / 3);
  const OutputMotion half = OutputMotion::Measured({8, 8, 9, 9, 10, 10, 11, 11, 12});
  EXPECT_EQ(half.pace, 0.5);
  EXPECT_EQ(OutputMotion::Read(Queued(tape, 12, {12, 13, 13}), half).pace, 0.5);
  EXPECT_DOUBLE_EQ(OutputMotion::Read(Queued(tape, 12, {12, 11, 11}), half).pace, -1.0 / 3);

  // The queue counts only up to another tape's pictures.
  CTimeline::Outlook across = Queued(tape, 50, {49});
  across.next.push_back(CTimeline::TapePicture{other, 900});
  EXPECT_EQ(OutputMotion::Read(across, cued).pace, -1.0);

  // Nothing commanded: playing with nothing queued, or no timeline. The measured motion.
  const OutputMotion back = OutputMotion::Measured({20, 19, 18, 17, 16, 15});
  EXPECT_EQ(back.pace, -1.0);
  EXPECT_EQ(OutputMotion::Read(Queued(tape, 15, {}), back).pace, -1.0);
  EXPECT_FALSE(OutputMotion::Read(Queued(tape, 15, {}), back).commanded);
  EXPECT_EQ(OutputMotion::Read(CTimeline::Outlook{}, back).pace, -1.0);
  // Measured, still takes a whole window on one frame; wind takes several steps.
  EXPECT_TRUE(OutputMotion::Measured({7, 7, 7, 7, 7, 7, 7, 7, 7}).still);
  EXPECT_FALSE(OutputMotion::Measured({0, 100, 200}).winding);
  EXPECT_TRUE(OutputMotion::Measured({0, 100, 200, 300, 400, 500}).winding);
}

}  // namespace
}  // namespace vxr
