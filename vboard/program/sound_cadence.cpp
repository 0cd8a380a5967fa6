#include "vboard/program/sound_cadence.h"

#include "vboard/program/program_frame.h"

namespace vxr {

std::int64_t SoundSampleAtTick(std::int64_t tick, int rate_num, int rate_den) {
  // round(tick x 48000 x den / num), half away from zero, exact in 64 bits for any tick a
  // program reaches (2^63 / (48000 x 1001 x 2) ticks is over 3 million years at 30 fps).
  const std::int64_t scaled = tick * kProgramSoundRate * rate_den * 2;
  const std::int64_t num = rate_num;
  if (scaled >= 0) return (scaled + num) / (2 * num);
  return -((-scaled + num) / (2 * num));
}

int SoundSamplesInTick(std::int64_t tick, int rate_num, int rate_den) {
  return static_cast<int>(SoundSampleAtTick(tick + 1, rate_num, rate_den) -
                          SoundSampleAtTick(tick, rate_num, rate_den));
}

}  // namespace vxr
