#pragma once

#include <cstdint>

namespace vxr {

// What the program's sound does during one output tick.
struct TickSound {
  bool silent = true;
  // When not silent: the tick plays the tape's sound from tape_sample (48 kHz, tape sample 0 is
  // tape frame 0's start) for samples samples, the first fade_in of them rising from silence;
  // or, for a fade-out, the first fade_out samples falling to silence and the rest silent.
  std::int64_t tape_sample = 0;
  int samples = 0;
  int fade_in = 0;
  int fade_out = 0;
};

// Decides the program's sound tick by tick. Sound follows the picture only while the output
// shows consecutive tape frames forward, one a tick (play, jog or shuttle at exactly +1.0); at
// any other speed, in still, stop, wind and cue it is silent. A start fades in and an end fades
// out over 5 ms so that no click is heard. While it follows, sound is continuous from tick to
// tick, and tape frame N's sound is always the tape's from N / rate to (N + 1) / rate. Pure: it
// reads no clock and no file.
class CSoundPlanner {
 public:
  static constexpr int kFadeSamples = 240;  // 5 ms at 48 kHz

  CSoundPlanner(int rate_num, int rate_den) : rate_num_(rate_num), rate_den_(rate_den) {}

  // tape_frame: the frame on the output during tick (-1 for none); next_frame: the frame queued
  // to follow it, -1 when nothing is queued.
  TickSound Plan(std::int64_t tick, std::int64_t tape_frame, std::int64_t next_frame);

 private:
  const int rate_num_;
  const int rate_den_;
  std::int64_t last_frame_ = -1;
  bool following_ = false;
  std::int64_t next_sample_ = 0;  // where the sound goes on while following
};

}  // namespace vxr
