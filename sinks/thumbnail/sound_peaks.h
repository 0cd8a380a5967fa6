#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vxr {

// The level meters' floor: what silence reads (below the quietest 16-bit sample, -90.3 dBFS).
inline constexpr double kSilenceDbfs = -96.0;

// The peak of one channel as dBFS: 0 for full scale (32768), -6.02 for half, kSilenceDbfs for 0.
double PeakToDbfs(int peak);

// Per channel, the largest magnitude of interleaved 16-bit samples (channels of them per sample
// frame); a trailing partial frame is ignored.
std::vector<int> ChannelPeaks(std::span<const std::int16_t> samples, int channels);

// Peaks over consecutive windows of a fixed number of sample frames (a fifth of a second): Add
// merges samples, and each time a window fills its per-channel dBFS is what Latest reads.
class CPeakWindow {
 public:
  CPeakWindow(int channels, int window_frames);

  // True when a window filled with these samples.
  bool Add(std::span<const std::int16_t> samples);
  // The newest full window's peaks in dBFS (the floor for each channel before the first).
  const std::vector<double>& Latest() const { return latest_; }
  // Windows filled so far.
  std::int64_t Windows() const { return windows_; }

 private:
  const int channels_;
  const int window_frames_;
  std::vector<int> running_;
  int filled_ = 0;
  std::vector<double> latest_;
  std::int64_t windows_ = 0;
};

}  // namespace vxr
