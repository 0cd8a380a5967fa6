#pragma once

#include <QAudioDevice>
#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vboard/board_config.h"
#include "vboard/output/program_frame.h"
#include "vboard/output/sound_queue.h"

class QAudioSink;
class QObject;
class QThread;

namespace vxr {

// A sound output as the user names it: the device's description or id; empty for the default.
struct SoundSettings {
  std::string device;
};

// The program's sound on a sound device of this machine (Qt Multimedia): each tick's 48 kHz
// stereo samples, the same the stream carries, go through a bounded queue (CSoundQueue) that
// the device pulls from on its own thread ("sound out"). Push never waits for the device; a
// device that reads faster than the ticks come gets silence, counted as an underrun; sound that
// piles up beyond the delay it may have behind the picture is skipped.
//
// Without a device (before Open, or when none exists) the sink keeps its queue and accounting
// all the same, and Pull takes what a device would get: that is how tests and benchmarks see
// the sound path below the device.
class CSoundOutput : public IProgramSink {
 public:
  struct Counts {
    CSoundQueue::Counts queue;
    bool device_open = false;
    std::int64_t device_bytes = 0;     // held by the device: buffer size less bytes free
    std::int64_t delay_us = 0;         // queue and device together, from the bytes
    std::int64_t played_delay_us = 0;  // written to the device less its processedUSecs
  };

  explicit CSoundOutput(const OutputFormat& format);
  // Stops the device on its thread, then the thread.
  ~CSoundOutput() override;
  CSoundOutput(const CSoundOutput&) = delete;
  CSoundOutput& operator=(const CSoundOutput&) = delete;

  // Starts pulling to device; false, with the reason in *error, when it cannot play the
  // program's format or does not start. Call once, from the thread that made the sink.
  bool Open(const QAudioDevice& device, std::string* error);

  void Push(std::shared_ptr<const ProgramFrame> frame) override;
  ProgramSinkStats Stats() const override;
  std::string Name() const override;

  // What the device takes next: samples instants from the queue, silence where none.
  void Pull(std::int16_t* out, int samples);
  Counts counts() const;
  // One output tick's worth of samples, rounded up: the unit of the queue's limits.
  int TickSamples() const { return tick_samples_; }

 private:
  class Feed;
  void NoteDevice(std::int64_t bytes_written);

  const int tick_samples_;
  CSoundQueue queue_;
  std::string name_ = "sound (no device)";

  QThread* thread_ = nullptr;   // "sound out": the device's reads and its timers
  QObject* context_ = nullptr;  // lives on thread_
  QAudioSink* sink_ = nullptr;  // made, used and deleted on thread_
  Feed* feed_ = nullptr;        // the same

  std::atomic<bool> device_open_{false};
  std::atomic<std::int64_t> device_bytes_{0};
  std::atomic<std::int64_t> played_delay_us_{0};
};

// The sound devices Qt knows; the default one first when there is one.
std::vector<QAudioDevice> SoundDevices();

// The device named (description or id; the default when name is empty), or a null device with
// a line saying why on errors.
QAudioDevice FindSoundDevice(const std::string& name, std::ostream& errors);

// The program's sound on the named device, or null with one line on errors when there is no
// such device or it cannot play: the deck goes on without sound.
std::shared_ptr<CSoundOutput> StartSoundOutput(const SoundSettings& settings,
                                               const OutputFormat& format, std::ostream& errors);

}  // namespace vxr
