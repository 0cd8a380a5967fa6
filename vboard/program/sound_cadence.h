#pragma once

#include <cstdint>

namespace vxr {

// Where output ticks fall in the program's 48 kHz sound: tick k starts at sample
// round(k x 48000 / rate), in integers, so that 30000/1001 never drifts. At 25 frames a second
// every tick gets 1920 samples; at 30000/1001 the ticks take 1602, 1601, 1602, 1601, 1602 in
// turn (8008 samples in five ticks). The same grid gives tape frame N of a movie its sound:
// from N / rate to (N + 1) / rate.
std::int64_t SoundSampleAtTick(std::int64_t tick, int rate_num, int rate_den);
int SoundSamplesInTick(std::int64_t tick, int rate_num, int rate_den);

}  // namespace vxr
