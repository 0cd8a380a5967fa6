#include "sinks/qt/sound_output.h"

#include <QAudioFormat>
#include <QAudioSink>
#include <QIODevice>
#include <QMediaDevices>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <ostream>

#include "platform/diagnostics.h"
#include "platform/thread_name.h"

namespace vxr {
namespace {

constexpr int kBytesPerSample = kProgramSoundChannels * static_cast<int>(sizeof(std::int16_t));
// The queue starts once two ticks are in (ticks and device reads jitter against each other) and
// holds at most six. The device's own buffer is one tick, so that what it holds, which nothing
// can skip, stays within the frame the sound may be behind its picture. Skipping ahead keeps the
// next sample at least kMarginUs past its time: a tick's sound must be queued by the time the
// device wants its first sample, so the margin covers how late the board's output thread may
// push it (the device's read size does not matter, the age is taken after each read).
constexpr int kStartTicks = 2;
constexpr int kCapacityTicks = 6;
constexpr int kDeviceBufferTicks = 1;
// Each underrun the device met widens that margin by kMarginStepUs, up to one tick: the board's
// lateness on this machine is learnt from the device running dry.
constexpr std::int64_t kMarginUs = 10'000;
constexpr std::int64_t kMarginStepUs = 5'000;
constexpr std::int64_t kMicrosecondsPerSecond = 1'000'000;
constexpr std::int64_t kNanosecondsPerMicrosecond = 1'000;
// How often the device's buffer is topped up: a quarter of a 25 frames-a-second tick.
constexpr int kFeedPeriodMs = 10;

int TickSamplesOf(const OutputFormat& format) {
  const std::int64_t num = std::max(format.rate_num, 1);
  return static_cast<int>((std::int64_t{kProgramSoundRate} * format.rate_den + num - 1) / num);
}

QAudioFormat ProgramSoundFormat() {
  QAudioFormat format;
  format.setSampleRate(kProgramSoundRate);
  format.setChannelCount(kProgramSoundChannels);
  format.setSampleFormat(QAudioFormat::Int16);
  return format;
}

std::int64_t BytesToUs(std::int64_t bytes) {
  return bytes / kBytesPerSample * kMicrosecondsPerSecond / kProgramSoundRate;
}

}  // namespace

// Hands the device the program's sound as it takes it: every kFeedPeriodMs, as much as its
// buffer has room for, from the queue (silence where the queue has none). Qt's own pulling reads
// fixed 20 ms periods and stops for good on a PulseAudio server when the buffer's room falls
// below a period before the server has enough to start playing (a buffer near one tick), so the
// sound is written rather than pulled.
class CSoundOutput::Feed : public QObject {
 public:
  Feed(CSoundOutput* owner, QIODevice* device) : owner_(owner), device_(device) {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { Write(); });
    timer_.start(kFeedPeriodMs);
    Write();
  }

 private:
  void Write() {
    QAudioSink* sink = owner_->sink_;
    const qsizetype free_bytes = sink->bytesFree();
    const int samples = static_cast<int>(free_bytes / kBytesPerSample);
    if (samples <= 0) return;
    scratch_.resize(static_cast<std::size_t>(samples) * kProgramSoundChannels);
    owner_->Pull(scratch_.data(), samples);
    // The device's figures as a pulling device would have seen them: before this write.
    const DeviceFigures figures{sink->bufferSize(), free_bytes, sink->processedUSecs()};
    device_->write(reinterpret_cast<const char*>(scratch_.data()),
                   static_cast<qint64>(samples) * kBytesPerSample);
    owner_->Sync(figures);
  }

  CSoundOutput* const owner_;
  QIODevice* const device_;  // the sink's; it goes with the sink
  QTimer timer_;
  std::vector<std::int16_t> scratch_;
};

CSoundOutput::CSoundOutput(const OutputFormat& format, std::shared_ptr<const IBoardClock> clock)
    : clock_(std::move(clock)),
      tick_samples_(TickSamplesOf(format)),
      queue_(kProgramSoundChannels, kStartTicks * tick_samples_, kCapacityTicks * tick_samples_),
      sync_(format.rate_num, format.rate_den, kMarginUs, kCapacityTicks * tick_samples_) {}

CSoundOutput::~CSoundOutput() {
  if (thread_ == nullptr) return;
  QMetaObject::invokeMethod(
      context_,
      [this] {
        delete feed_;
        if (sink_ != nullptr) sink_->stop();
        delete sink_;
        delete context_;
        sink_ = nullptr;
        feed_ = nullptr;
        context_ = nullptr;
      },
      Qt::BlockingQueuedConnection);
  thread_->quit();
  thread_->wait();
  delete thread_;
}

bool CSoundOutput::Open(const QAudioDevice& device, std::string* error) {
  if (device.isNull()) {
    *error = "no sound device";
    return false;
  }
  const QAudioFormat format = ProgramSoundFormat();
  if (!device.isFormatSupported(format)) {
    *error = "sound device \"" + device.description().toStdString() +
             "\" cannot play 48 kHz 16-bit stereo";
    return false;
  }
  thread_ = new QThread;
  thread_->setObjectName("sound out");
  thread_->start();
  context_ = new QObject;
  context_->moveToThread(thread_);
  bool started = false;
  QMetaObject::invokeMethod(
      context_,
      [&] {
        SetCurrentThreadName("sound out");
        sink_ = new QAudioSink(device, format);
        sink_->setBufferSize(kDeviceBufferTicks * tick_samples_ * kBytesPerSample);
        QObject::connect(sink_, &QAudioSink::stateChanged, context_, [this](QAudio::State state) {
          DeviceStateChanged(state, sink_->error());
        });
        QIODevice* const input = sink_->start();
        started = input != nullptr && sink_->error() == QAudio::NoError;
        if (started) feed_ = new Feed(this, input);
      },
      Qt::BlockingQueuedConnection);
  if (!started) {
    *error = "sound device \"" + device.description().toStdString() + "\" does not start";
    return false;
  }
  name_ = "sound on \"" + device.description().toStdString() + "\"";
  device_open_ = true;
  return true;
}

void CSoundOutput::DeviceStateChanged(QAudio::State state, QAudio::Error error) {
  if (state != QAudio::StoppedState || error == QAudio::NoError) return;
  device_open_ = false;
  if (device_losses_.fetch_add(1) > 0) return;
  const char* what = error == QAudio::OpenError    ? "cannot be opened"
                     : error == QAudio::IOError    ? "stopped taking sound"
                     : error == QAudio::FatalError ? "failed"
                                                   : "stopped";
  DebugOutput("Err Output", "output " + Name() + ": the device " + what +
                                "; the deck goes on without this sound");
}

void CSoundOutput::SetPictureDelay(std::function<std::int64_t()> picture_delay_us) {
  picture_delay_ = std::move(picture_delay_us);
}

void CSoundOutput::Sync(const DeviceFigures& device) {
  const std::int64_t now_ns = clock_->NowNs();
  SoundSyncMeasure measure;
  const std::int64_t due_ns = queue_.HeadDueNs();
  const CSoundQueue::Counts queue = queue_.counts();
  // While the queue waits to start (or start again) its sound is not on its way: nothing to
  // bring forward or hold back yet.
  measure.queued_samples = due_ns >= 0 && queue.running ? queue.depth_samples : 0;
  measure.head_age_us = due_ns >= 0 ? (now_ns - due_ns) / kNanosecondsPerMicrosecond : 0;
  // The device was handed everything read from the queue and every silence filled in.
  written_samples_ = queue.samples_out + queue.silence_samples;
  measure.written_samples = written_samples_;
  measure.device_held_samples =
      device.buffer_bytes > 0
          ? std::max<std::int64_t>(device.buffer_bytes - device.bytes_free, 0) / kBytesPerSample
          : -1;
  measure.processed_us = device.processed_us;
  measure.picture_delay_us = picture_delay_ ? picture_delay_() : -1;
  sync_.SetFloorUs(std::min(kMarginUs + queue.underruns * kMarginStepUs, sync_.FrameUs()));
  const SoundSyncAction action = sync_.Plan(measure);
  if (action.drop_samples > 0) queue_.Skip(action.drop_samples);
  if (action.hold_samples > 0) queue_.Hold(action.hold_samples);

  std::lock_guard lock(sync_mutex_);
  sync_counts_.device_bytes =
      std::max<std::int64_t>(measure.device_held_samples, 0) * kBytesPerSample;
  sync_counts_.played_delay_us =
      device.processed_us > 0
          ? written_samples_ * kMicrosecondsPerSecond / kProgramSoundRate - device.processed_us
          : 0;
  sync_counts_.sync_measured = action.measured;
  if (action.measured) {
    sync_counts_.sound_delay_us = action.sound_delay_us;
    sync_counts_.offset_us = action.offset_us;
  }
  sync_counts_.picture_delay_us = measure.picture_delay_us;
  if (action.drop_samples > 0) ++sync_counts_.sync_drops;
  if (action.hold_samples > 0) ++sync_counts_.sync_holds;
}

void CSoundOutput::Push(std::shared_ptr<const ProgramFrame> frame) {
  if (frame) queue_.PushTick(frame->sound, frame->steady_ns);
}

void CSoundOutput::Pull(std::int16_t* out, int samples) { queue_.Read(out, samples); }

CSoundOutput::Counts CSoundOutput::counts() const {
  Counts counts;
  {
    std::lock_guard lock(sync_mutex_);
    counts = sync_counts_;
  }
  counts.queue = queue_.counts();
  counts.device_open = device_open_.load();
  counts.device_losses = device_losses_.load();
  counts.delay_us = BytesToUs(counts.queue.depth_samples * kBytesPerSample + counts.device_bytes);
  return counts;
}

ProgramSinkStats CSoundOutput::Stats() const {
  const CSoundQueue::Counts queue = queue_.counts();
  ProgramSinkStats stats;
  stats.received = queue.ticks;
  stats.sent = queue.ticks;
  stats.failures = queue.underruns;
  return stats;
}

std::string CSoundOutput::Name() const { return name_; }

namespace {

QtMessageHandler previous_handler = nullptr;  // set only while SoundDevices asks Qt

// Qt's sound service says on its own line that no sound server answered; the deck says it in
// its words (one line) instead.
void QuietSoundService(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (text.startsWith("PulseAudioService:")) return;
  if (previous_handler != nullptr) previous_handler(type, context, text);
}

}  // namespace

std::vector<QAudioDevice> SoundDevices() {
  previous_handler = qInstallMessageHandler(QuietSoundService);
  struct Restore {
    ~Restore() { qInstallMessageHandler(previous_handler); }
  } restore;
  std::vector<QAudioDevice> devices;
  const QAudioDevice preferred = QMediaDevices::defaultAudioOutput();
  if (!preferred.isNull()) devices.push_back(preferred);
  for (const QAudioDevice& device : QMediaDevices::audioOutputs()) {
    if (device.id() != preferred.id()) devices.push_back(device);
  }
  return devices;
}

QAudioDevice FindSoundDevice(const std::string& name, std::ostream& errors) {
  const std::vector<QAudioDevice> devices = SoundDevices();
  if (devices.empty()) {
    errors << "sound: no sound device on this machine; the deck goes on without sound\n";
    return {};
  }
  if (name.empty()) return devices.front();
  const QString wanted = QString::fromStdString(name);
  for (const QAudioDevice& device : devices) {
    if (device.description() == wanted || QString::fromUtf8(device.id()) == wanted) return device;
  }
  errors << "sound: no sound device \"" << name << "\" (there are:";
  for (const QAudioDevice& device : devices) {
    errors << " \"" << device.description().toStdString() << "\"";
  }
  errors << "); the deck goes on without sound\n";
  return {};
}

std::shared_ptr<CSoundOutput> StartSoundOutput(const SoundSettings& settings,
                                               const OutputFormat& format,
                                               std::shared_ptr<const IBoardClock> clock,
                                               std::ostream& errors,
                                               std::function<std::int64_t()> picture_delay_us) {
  const QAudioDevice device = FindSoundDevice(settings.device, errors);
  if (device.isNull()) return nullptr;
  auto output = std::make_shared<CSoundOutput>(format, std::move(clock));
  output->SetPictureDelay(std::move(picture_delay_us));
  std::string error;
  if (!output->Open(device, &error)) {
    errors << "sound: " << error << "; the deck goes on without sound\n";
    return nullptr;
  }
  return output;
}

}  // namespace vxr
