#pragma once

#include <algorithm>
#include <cstdint>

namespace vxr {

// What the sound output measured right after handing the device a read.
struct SoundSyncMeasure {
  // Now less the time the next sample of our queue belongs to (its tick's time plus its place
  // in the tick's sound); meaningless while the queue is empty.
  std::int64_t head_age_us = 0;
  std::int64_t queued_samples = 0;  // in our queue, one per instant (both channels)
  // The device's own figures: what it holds (buffer size less bytes free, in samples; -1 when
  // it has no buffer size), what it was handed so far, and its processedUSecs.
  std::int64_t device_held_samples = -1;
  std::int64_t written_samples = 0;
  std::int64_t processed_us = 0;
  // The board's tick to its picture on the screen; -1 when no screen output measures it (the
  // sound then aims at its own tick).
  std::int64_t picture_delay_us = -1;
};

// What to do about it: at most one of hold and drop is non-zero.
struct SoundSyncAction {
  int hold_samples = 0;             // silence to put before the queued sound
  int drop_samples = 0;             // queued samples to skip
  bool measured = false;            // the figures allowed an estimate
  std::int64_t sound_delay_us = 0;  // the tick to its sound leaving the device
  std::int64_t offset_us = 0;       // sound delay less picture delay: > 0 the sound is late
};

// Keeps the program's sound within one output frame of its picture. Qt reports no device
// latency, so the sound's delay is estimated from how old the next queued sample is plus what
// the device still holds: the larger of its buffer's fill and what it was handed less what it
// says it played. The picture's delay comes from the screen output. Beyond one frame late, the
// queue skips ahead (never below floor_us of margin, which covers the device's reads and the
// ticks' jitter); beyond one frame early it holds silence (never past capacity). An offset must
// show twice running before anything is done, and within one frame nothing is, so that the
// sound does not hunt. A device whose figures never move (bytes free stuck, nothing processed)
// gets no action. Pure: it reads no clock and touches no device.
class CSoundSync {
 public:
  // Consecutive measures in which the device was handed sound but its processedUSecs did not
  // move, after which its figures are not believed (nor before it first moves).
  static constexpr int kStuckMeasures = 8;
  static constexpr int kConfirmMeasures = 2;

  CSoundSync(int rate_num, int rate_den, std::int64_t floor_us, std::int64_t capacity_samples);

  SoundSyncAction Plan(const SoundSyncMeasure& measure);
  std::int64_t FrameUs() const { return frame_us_; }
  // The margin that skipping keeps (the caller widens it when the device ran dry).
  void SetFloorUs(std::int64_t floor_us) { floor_us_ = std::max<std::int64_t>(floor_us, 0); }
  bool DeviceReports() const { return still_measures_ < kStuckMeasures; }

 private:
  // What the device holds in microseconds; -1 when its figures tell nothing.
  std::int64_t DeviceDelayUs(const SoundSyncMeasure& measure);

  const std::int64_t frame_us_;
  std::int64_t floor_us_;
  const std::int64_t capacity_samples_;
  std::int64_t last_processed_us_ = -1;
  std::int64_t last_written_ = -1;
  int still_measures_ = kStuckMeasures;
  int late_measures_ = 0;
  int early_measures_ = 0;
};

}  // namespace vxr
