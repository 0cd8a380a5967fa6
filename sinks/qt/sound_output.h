#pragma once

#include <QAudio>
#include <QAudioDevice>
#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sinks/qt/sound_queue.h"
#include "sinks/qt/sound_sync.h"
#include "vboard/program/program_frame.h"
#include "vboard/server/board_clock.h"
#include "vboard/server/board_config.h"

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
// the device is fed from on its own thread ("sound out"), every 10 ms as much as its buffer has
// room for. Push never waits for the device; a device that takes sound faster than the ticks
// come gets silence, counted as an underrun. After each write the sound is brought within one
// output frame of the picture on the screen output (CSoundSync): queued sound is skipped when it is
// late, silence is held when it is early.
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
    // The last estimate against the picture (see CSoundSync), and what was done about it.
    bool sync_measured = false;
    std::int64_t sound_delay_us = 0;    // tick to sound leaving the device
    std::int64_t picture_delay_us = 0;  // tick to picture on the screen; -1 none measured
    std::int64_t offset_us = 0;         // sound delay less picture delay: > 0 sound late
    std::int64_t sync_drops = 0;        // times queued sound was skipped to meet the picture
    std::int64_t sync_holds = 0;        // times silence was held to wait for it
    std::int64_t device_losses = 0;     // times the device stopped with an error
  };
  // What a device below QAudioSink says after a read, through the sink's interface.
  struct DeviceFigures {
    std::int64_t buffer_bytes = 0;  // bufferSize(); 0 when it has none
    std::int64_t bytes_free = 0;    // bytesFree()
    std::int64_t processed_us = 0;  // processedUSecs()
  };

  // clock: the board's; the ticks' times are on it.
  CSoundOutput(const OutputFormat& format, std::shared_ptr<const IBoardClock> clock);
  // Stops the device on its thread, then the thread.
  ~CSoundOutput() override;
  CSoundOutput(const CSoundOutput&) = delete;
  CSoundOutput& operator=(const CSoundOutput&) = delete;

  // Starts feeding device; false, with the reason in *error, when it cannot play the
  // program's format or does not start. Call once, from the thread that made the sink.
  bool Open(const QAudioDevice& device, std::string* error);

  void Push(std::shared_ptr<const ProgramFrame> frame) override;
  ProgramSinkStats Stats() const override;
  std::string Name() const override;

  // Where the picture's delay comes from (microseconds from its tick to the screen, -1 when not
  // known); called on the sound thread, so it must not wait. Set it before Open.
  void SetPictureDelay(std::function<std::int64_t()> picture_delay_us);

  // What the device's QAudioSink says of its state (on the sound thread; tests call it to stand
  // for the device): stopped with an error (a USB interface unplugged, the sound server gone)
  // is the device's loss, said once in the log and counted; the sink goes on as without a
  // device: the queue keeps taking the ticks and counting them.
  void DeviceStateChanged(QAudio::State state, QAudio::Error error);

  // What the device takes next: samples instants from the queue, silence where none.
  void Pull(std::int16_t* out, int samples);
  // After each Pull, on the same thread: the device's figures, taken at the board clock's now;
  // brings the sound to its picture.
  void Sync(const DeviceFigures& device);
  Counts counts() const;
  // One output tick's worth of samples, rounded up: the unit of the queue's limits.
  int TickSamples() const { return tick_samples_; }

 private:
  class Feed;

  const std::shared_ptr<const IBoardClock> clock_;
  const int tick_samples_;
  CSoundQueue queue_;
  std::function<std::int64_t()> picture_delay_;  // set before Open, read by the sound thread

  // The thread that pulls (the device's feed, or a test's).
  CSoundSync sync_;
  std::int64_t written_samples_ = 0;

  mutable std::mutex sync_mutex_;  // guards sync_counts_
  Counts sync_counts_;
  std::string name_ = "sound (no device)";

  QThread* thread_ = nullptr;   // "sound out": the device's reads and its timers
  QObject* context_ = nullptr;  // lives on thread_
  QAudioSink* sink_ = nullptr;  // made, used and deleted on thread_
  Feed* feed_ = nullptr;        // the same

  std::atomic<bool> device_open_{false};
  std::atomic<std::int64_t> device_losses_{0};
};

// The sound devices Qt knows; the default one first when there is one.
std::vector<QAudioDevice> SoundDevices();

// The device named (description or id; the default when name is empty), or a null device with
// a line saying why on errors.
QAudioDevice FindSoundDevice(const std::string& name, std::ostream& errors);

// The program's sound on the named device, or null with one line on errors when there is no
// such device or it cannot play: the deck goes on without sound. picture_delay_us: see
// SetPictureDelay; empty when no screen shows the picture.
std::shared_ptr<CSoundOutput> StartSoundOutput(const SoundSettings& settings,
                                               const OutputFormat& format,
                                               std::shared_ptr<const IBoardClock> clock,
                                               std::ostream& errors,
                                               std::function<std::int64_t()> picture_delay_us = {});

}  // namespace vxr
