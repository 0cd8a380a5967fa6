#include "vboard/program/sound_planner.h"

#include <algorithm>
#include <cstdlib>

#include "vboard/program/sound_cadence.h"

namespace vxr {

TickSound CSoundPlanner::Plan(std::int64_t tick, std::int64_t tape_frame, std::int64_t next_frame) {
  // One step forward now, and (when the player has queued more) one step next: a speed of +0.5
  // also steps one frame forward on some ticks, but repeats the frame next.
  const bool forward_one = tape_frame >= 0 && last_frame_ >= 0 && tape_frame == last_frame_ + 1 &&
                           (next_frame < 0 || next_frame == tape_frame + 1);
  last_frame_ = tape_frame;
  TickSound sound;
  const int share = SoundSamplesInTick(tick, rate_num_, rate_den_);
  if (forward_one) {
    const std::int64_t anchor = SoundSampleAtTick(tape_frame, rate_num_, rate_den_);
    sound.silent = false;
    sound.samples = share;
    // Going on keeps the sound continuous; the tick cadence and the tape's frame grid may differ
    // by a sample at 30000/1001, never more, so a larger gap is a new start.
    if (following_ && std::llabs(next_sample_ - anchor) <= 1) {
      sound.tape_sample = next_sample_;
    } else {
      sound.tape_sample = anchor;
      sound.fade_in = std::min(kFadeSamples, share);
    }
    next_sample_ = sound.tape_sample + share;
    following_ = true;
    return sound;
  }
  if (following_) {
    sound.silent = false;
    sound.tape_sample = next_sample_;
    sound.samples = share;
    sound.fade_out = std::min(kFadeSamples, share);
    following_ = false;
  }
  return sound;
}

}  // namespace vxr
