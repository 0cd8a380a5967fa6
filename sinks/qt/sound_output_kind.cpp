#include "sinks/qt/sound_output_kind.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <ostream>
#include <sstream>

namespace vxr {
namespace {

constexpr const char* kWord = "sound";
constexpr std::int64_t kMicrosecondsPerMillisecond = 1000;

std::string Figures(const CSoundOutput& sound) {
  const CSoundOutput::Counts counts = sound.counts();
  std::ostringstream text;
  text << "output " << sound.Name() << ": " << counts.queue.ticks << " ticks, "
       << counts.queue.underruns << " underruns, " << counts.queue.skipped_samples
       << " samples skipped, delay about " << counts.delay_us / kMicrosecondsPerMillisecond
       << " ms queued (" << counts.played_delay_us / kMicrosecondsPerMillisecond
       << " ms by the device's count)";
  return text.str();
}

// Qt's platform when there is a display (a QGuiApplication), else empty.
QString DisplayPlatform() {
  const bool display = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
  return display ? QGuiApplication::platformName() : QString();
}

}  // namespace

bool DefaultSoundWanted(bool sound_named, bool no_monitor, bool no_sound, const QString& platform) {
  const bool display = !platform.isEmpty() && platform != "offscreen" && platform != "minimal";
  return display && !no_monitor && !no_sound && !sound_named;
}

IProgramOutputKind::Claim CSoundOutputKind::Claims(const std::string& entry) const {
  const std::string word = kWord;
  return entry == word || entry.starts_with(word + ":") ? Claim::kNamed : Claim::kNone;
}

bool CSoundOutputKind::Add(const std::string& entry, std::string* error) {
  SoundSettings sound;
  const std::size_t word = std::string(kWord).size();
  if (entry.size() > word) {
    sound.device = entry.substr(word + 1);
    if (sound.device.empty()) {
      *error = "\"" + entry + "\": the sound device's name is missing";
      return false;
    }
  }
  settings_.push_back(sound);
  return true;
}

void CSoundOutputKind::List(std::ostream& out) const {
  out << "Sound devices (--output sound:NAME; the first is the default):\n";
  const std::vector<QAudioDevice> devices = SoundDevices();
  if (devices.empty()) out << "  none\n";
  for (const QAudioDevice& device : devices) {
    out << "  \"" << device.description().toStdString() << "\" (id " << device.id().toStdString()
        << ")\n";
  }
}

bool CSoundOutputKind::Prepare(std::ostream&) {
  starting_.clear();
  if (!no_sound_) starting_ = settings_;
  if (DefaultSoundWanted(!settings_.empty(), no_monitor_, no_sound_, DisplayPlatform())) {
    starting_.push_back(SoundSettings{});
  }
  return !starting_.empty();
}

void CSoundOutputKind::Start(const ProgramOutputStart& start) {
  for (const SoundSettings& settings : starting_) {
    std::shared_ptr<CSoundOutput> sound = StartSoundOutput(
        settings, start.format, start.clock, start.errors, start.shared.picture_delay_us);
    if (!sound) continue;
    start.errors << "output " << sound->Name() << ": the program sound, 48 kHz stereo\n";
    running_.push_back(sound);
    start.program.AddSink(sound);
  }
}

std::vector<std::string> CSoundOutputKind::Finish(CProgramOutput& program) {
  return FinishSinks(program, &running_, Figures);
}

}  // namespace vxr
