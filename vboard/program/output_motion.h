#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "vboard/server/timeline.h"

namespace vxr {

// How the board's output moves, as the decoder reads it to choose what to decode ahead.
struct OutputMotion {
  // Ticks the measured pace is taken over: a cue's single jump does not set a pace.
  static constexpr std::size_t kPaceTicks = 8;
  // From this pace on (tape frames a tick) material with key frames shows only those.
  static constexpr double kKeyFramePace = 12.0;

  double pace = 0.0;       // tape frames a tick, negative backwards
  bool still = false;      // the output stands on one picture: a reverse motion may start here
  bool winding = false;    // kKeyFramePace or faster
  bool commanded = false;  // read from the pictures queued for the output, not measured

  // From the tape frames the output showed at its latest ticks, oldest first: the median step
  // (jog at half speed, steps 0, 1, 0, 1, gives 0.5); still once it stood on one frame for a
  // whole kPaceTicks; winding only after several steps say so.
  static OutputMotion Measured(const std::deque<std::int64_t>& seen);
  // From what the output is told to show next: playing, the steps from the output's picture
  // through the queued ones of the same tape (their median, so that a cue's jump sets no pace;
  // with only some of them moving, as in slow motion, their mean or the measured pace if that
  // goes the same way); not playing, still. Where the outlook commands nothing (playing with
  // nothing queued, or no timeline) the measured motion.
  static OutputMotion Read(const CTimeline::Outlook& outlook, const OutputMotion& measured);
};

}  // namespace vxr
