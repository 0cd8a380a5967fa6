#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sinks/thumbnail/sound_peaks.h"
#include "vboard/program/program_frame.h"

namespace vxr {

struct ThumbnailSettings {
  static constexpr int kDefaultWidth = 320;
  static constexpr int kDefaultPicturesPerSecond = 5;
  static constexpr int kDefaultQuality = 5;  // the JPEG quantiser: 2 (best) to 31
  int width = kDefaultWidth;                 // pixels; the height keeps the display aspect
  int pictures_per_second = kDefaultPicturesPerSecond;
  int quality = kDefaultQuality;
};

// The newest thumbnail: sequence 0 and no JPEG before the first.
struct ThumbnailPicture {
  std::int64_t sequence = 0;
  std::shared_ptr<const std::string> jpeg;
  std::string timecode;  // the picture's tape timecode
  int width = 0;
  int height = 0;
};

// The program sound's peaks over the newest fifth of a second, per channel in dBFS.
struct ThumbnailMeters {
  std::int64_t sequence = 0;  // windows measured so far
  std::vector<double> peaks_dbfs;
};

// The program as the web page shows it: at most a few pictures a second (by the ticks' own
// times) scaled down to a small width at the picture's display aspect and encoded as JPEG before
// anyone asks, and the sound's peak per channel over each fifth of a second. Push keeps only the
// newest tick (a queue of one) and measures its sound, and never waits; the encoding runs on the
// sink's own thread at codec priority. A picture that has not changed since the last one (a
// still tape) is not encoded again.
class CThumbnailOutput : public IProgramSink {
 public:
  static constexpr const char* kName = "web thumbnail";
  static constexpr const char* kThreadName = "vxr thumbnail";

  explicit CThumbnailOutput(ThumbnailSettings settings = {});
  // Stops (see Stop).
  ~CThumbnailOutput() override;
  CThumbnailOutput(const CThumbnailOutput&) = delete;
  CThumbnailOutput& operator=(const CThumbnailOutput&) = delete;

  // Drops the queued tick and ends the thread. Idempotent.
  void Stop();

  void Push(std::shared_ptr<const ProgramFrame> frame) override;
  ProgramSinkStats Stats() const override;
  std::string Name() const override { return kName; }

  // Any thread, without waiting on the encoding.
  ThumbnailPicture Picture() const;
  ThumbnailMeters Meters() const;
  // Waits until the picture's sequence is at least sequence; false after timeout_ms.
  bool WaitPicture(std::int64_t sequence, int timeout_ms) const;
  // Waits until the thread has taken every tick pushed so far; false after timeout_ms.
  bool WaitIdle(int timeout_ms) const;
  // The run's figures in one line for the log.
  std::string Figures() const;

  // The thumbnail's size for a width x height program picture (even numbers, at least 2).
  static void ThumbnailSize(int width, int height, bool wide, int thumbnail_width, int* out_width,
                            int* out_height);

 private:
  class Encoder;
  void Run();
  // Whether the tick is due as a picture by the rate cap and carries a new picture.
  bool Due(const ProgramFrame& frame);

  const ThumbnailSettings settings_;
  const std::int64_t interval_ns_;

  mutable std::mutex mutex_;  // guards pending_, stop_, busy_ and the counts below
  mutable std::condition_variable wake_;
  std::shared_ptr<const ProgramFrame> pending_;
  bool stop_ = false;
  bool busy_ = false;  // the thread is working on a tick it took
  ProgramSinkStats stats_;
  std::int64_t skipped_ = 0;  // ticks not encoded: within the rate cap, or the same picture
  std::int64_t encode_ns_total_ = 0;

  mutable std::mutex picture_mutex_;  // guards picture_
  mutable std::condition_variable picture_changed_;
  ThumbnailPicture picture_;

  mutable std::mutex meter_mutex_;  // guards peaks_
  CPeakWindow peaks_;

  // The sink's thread only.
  std::unique_ptr<Encoder> encoder_;
  std::int64_t last_encoded_ns_ = 0;
  bool encoded_any_ = false;
  std::shared_ptr<const std::vector<std::uint32_t>> last_pixels_;
  std::string last_timecode_;

  std::thread thread_;  // "vxr thumbnail": scales and encodes
};

}  // namespace vxr
