#include "sinks/qt/sound_sync.h"

#include <algorithm>

#include "vboard/program/program_frame.h"

namespace vxr {
namespace {

constexpr std::int64_t kMicrosecondsPerSecond = 1'000'000;

std::int64_t SamplesToUs(std::int64_t samples) {
  return samples * kMicrosecondsPerSecond / kProgramSoundRate;
}

// Whole samples (instants), rounded down so that a correction never overshoots.
std::int64_t UsToSamples(std::int64_t us) {
  return us * kProgramSoundRate / kMicrosecondsPerSecond;
}

}  // namespace

CSoundSync::CSoundSync(int rate_num, int rate_den, std::int64_t floor_us,
                       std::int64_t capacity_samples)
    : frame_us_(kMicrosecondsPerSecond * std::max(rate_den, 1) / std::max(rate_num, 1)),
      floor_us_(std::max<std::int64_t>(floor_us, 0)),
      capacity_samples_(std::max<std::int64_t>(capacity_samples, 0)) {}

std::int64_t CSoundSync::DeviceDelayUs(const SoundSyncMeasure& measure) {
  // A device that plays counts what it played; one whose count stands still while it is
  // handed more says nothing true about what it holds either.
  const bool written = measure.written_samples != last_written_;
  const bool played = measure.processed_us > 0 && measure.processed_us != last_processed_us_;
  if (played) {
    still_measures_ = 0;
  } else if (written) {
    still_measures_ = std::min(still_measures_ + 1, kStuckMeasures);
  }
  last_processed_us_ = measure.processed_us;
  last_written_ = measure.written_samples;
  if (!DeviceReports()) return -1;

  std::int64_t delay = -1;
  if (measure.device_held_samples >= 0) delay = SamplesToUs(measure.device_held_samples);
  // What it was handed beyond what it played is still to be heard, buffers below the sink's
  // included.
  const std::int64_t unplayed = SamplesToUs(measure.written_samples) - measure.processed_us;
  if (unplayed >= 0) delay = std::max(delay, unplayed);
  return delay;
}

SoundSyncAction CSoundSync::Plan(const SoundSyncMeasure& measure) {
  SoundSyncAction action;
  const std::int64_t device_us = DeviceDelayUs(measure);
  if (device_us < 0 || measure.queued_samples <= 0) {
    late_measures_ = early_measures_ = 0;
    return action;
  }
  action.measured = true;
  action.sound_delay_us = measure.head_age_us + device_us;
  action.offset_us = action.sound_delay_us - std::max<std::int64_t>(measure.picture_delay_us, 0);

  if (action.offset_us > frame_us_) {
    early_measures_ = 0;
    if (++late_measures_ < kConfirmMeasures) return action;
    // Skip what makes it late, but keep floor_us of the queue's margin before the device.
    const std::int64_t spare_us = measure.head_age_us - floor_us_;
    const std::int64_t drop =
        std::min({UsToSamples(std::min(action.offset_us, spare_us)), measure.queued_samples});
    action.drop_samples = static_cast<int>(std::max<std::int64_t>(drop, 0));
  } else if (action.offset_us < -frame_us_) {
    late_measures_ = 0;
    if (++early_measures_ < kConfirmMeasures) return action;
    const std::int64_t hold =
        std::min(UsToSamples(-action.offset_us), capacity_samples_ - measure.queued_samples);
    action.hold_samples = static_cast<int>(std::max<std::int64_t>(hold, 0));
  } else {
    late_measures_ = early_measures_ = 0;
  }
  if (action.drop_samples > 0 || action.hold_samples > 0) late_measures_ = early_measures_ = 0;
  return action;
}

}  // namespace vxr
