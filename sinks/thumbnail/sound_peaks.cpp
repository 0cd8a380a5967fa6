#include "sinks/thumbnail/sound_peaks.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vxr {

namespace {

constexpr double kFullScale = 32768.0;

}  // namespace

double PeakToDbfs(int peak) {
  if (peak <= 0) return kSilenceDbfs;
  const double dbfs = 20.0 * std::log10(static_cast<double>(peak) / kFullScale);
  return std::clamp(dbfs, kSilenceDbfs, 0.0);
}

std::vector<int> ChannelPeaks(std::span<const std::int16_t> samples, int channels) {
  std::vector<int> peaks(static_cast<std::size_t>(std::max(channels, 0)), 0);
  if (channels <= 0) return peaks;
  const std::size_t frames = samples.size() / static_cast<std::size_t>(channels);
  for (std::size_t frame = 0; frame < frames; ++frame) {
    for (int channel = 0; channel < channels; ++channel) {
      const int magnitude = std::abs(static_cast<int>(samples[frame * channels + channel]));
      peaks[channel] = std::max(peaks[channel], magnitude);
    }
  }
  return peaks;
}

CPeakWindow::CPeakWindow(int channels, int window_frames)
    : channels_(std::max(channels, 1)),
      window_frames_(std::max(window_frames, 1)),
      running_(channels_, 0),
      latest_(channels_, kSilenceDbfs) {}

bool CPeakWindow::Add(std::span<const std::int16_t> samples) {
  bool filled = false;
  std::size_t frames = samples.size() / static_cast<std::size_t>(channels_);
  std::size_t offset = 0;
  while (frames > 0) {
    // Up to the end of the current window, so that a window's peak holds only its own samples.
    const std::size_t take = std::min(frames, static_cast<std::size_t>(window_frames_ - filled_));
    const std::vector<int> peaks =
        ChannelPeaks(samples.subspan(offset * channels_, take * channels_), channels_);
    for (int channel = 0; channel < channels_; ++channel) {
      running_[channel] = std::max(running_[channel], peaks[channel]);
    }
    filled_ += static_cast<int>(take);
    offset += take;
    frames -= take;
    if (filled_ == window_frames_) {
      for (int channel = 0; channel < channels_; ++channel) {
        latest_[channel] = PeakToDbfs(running_[channel]);
        running_[channel] = 0;
      }
      filled_ = 0;
      ++windows_;
      filled = true;
    }
  }
  return filled;
}

}  // namespace vxr
