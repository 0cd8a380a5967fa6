#include "app/program_outputs.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <charconv>
#include <chrono>
#include <ostream>
#include <sstream>

#include "app/config_store.h"
#include "platform/diagnostics.h"
#include "sinks/stream/stream_output.h"

namespace vxr {
namespace {

constexpr const char* kOutputsSection = "Outputs";
constexpr const char* kScreen = "screen";
constexpr const char* kSound = "sound";
constexpr const char* kMonitor = "monitor";

// Reads "?burntc=0|1" (all there may be after a screen or the monitor).
bool ParseBurnIn(const std::string& query, const std::string& entry, bool* burn,
                 std::string* error) {
  if (query.empty()) return true;
  if (query == "burntc=1" || query == "burntc=0") {
    *burn = query == "burntc=1";
    return true;
  }
  *error = "\"" + entry + "\": only ?burntc=0 or ?burntc=1 may follow";
  return false;
}

bool ParseScreen(const std::string& entry, ScreenSettings* screen, std::string* error) {
  const std::size_t question = entry.find('?');
  const std::string head = entry.substr(0, question);
  const std::string query = question == std::string::npos ? "" : entry.substr(question + 1);
  if (head.size() > std::string(kScreen).size()) {
    const std::string number = head.substr(std::string(kScreen).size() + 1);
    int index = -1;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), index);
    if (number.empty() || ec != std::errc() || end != number.data() + number.size() || index < 0) {
      *error = "\"" + entry + "\": the screen is a number from 0 (see --list-outputs)";
      return false;
    }
    screen->screen = index;
  }
  return ParseBurnIn(query, entry, &screen->burn_timecode, error);
}

std::string ScreenLine(int index, const QScreen* screen) {
  const QRect geometry = screen->geometry();
  return "screen " + std::to_string(index) + " \"" + screen->name().toStdString() + "\" " +
         std::to_string(geometry.width()) + "x" + std::to_string(geometry.height()) + " at " +
         std::to_string(geometry.x()) + "," + std::to_string(geometry.y()) + ", " +
         std::to_string(static_cast<int>(screen->refreshRate() + 0.5)) + " Hz";
}

// False under a QCoreApplication (a deck without windows): no screens, no monitor window.
bool HasDisplay() {
  return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

bool StartsWithWord(const std::string& entry, const std::string& word) {
  return entry == word || entry.starts_with(word + ":") || entry.starts_with(word + "?");
}

}  // namespace

bool ParseProgramOutputs(const std::vector<std::string>& entries, const std::string& origin,
                         ProgramOutputPlan* plan, std::string* error) {
  plan->origin = origin;
  for (const std::string& entry : entries) {
    std::string reason;
    if (StartsWithWord(entry, kScreen)) {
      ScreenSettings screen;
      if (!ParseScreen(entry, &screen, &reason)) {
        *error = origin + ": " + reason;
        return false;
      }
      plan->screens.push_back(screen);
    } else if (entry == kSound || entry.starts_with(std::string(kSound) + ":")) {
      SoundSettings sound;
      if (entry.size() > std::string(kSound).size()) {
        sound.device = entry.substr(std::string(kSound).size() + 1);
        if (sound.device.empty()) {
          *error = origin + ": \"" + entry + "\": the sound device's name is missing";
          return false;
        }
      }
      plan->sounds.push_back(sound);
    } else if (entry == kMonitor || entry.starts_with(std::string(kMonitor) + "?")) {
      const std::size_t question = entry.find('?');
      const std::string query = question == std::string::npos ? "" : entry.substr(question + 1);
      if (!ParseBurnIn(query, entry, &plan->monitor_burn_timecode, &reason)) {
        *error = origin + ": " + reason;
        return false;
      }
    } else {
      const ParsedOutputUrl parsed = ParseOutputUrl(entry);
      if (!parsed.settings) {
        *error = origin + ": " + parsed.error;
        return false;
      }
      plan->streams.push_back(*parsed.settings);
    }
  }
  return true;
}

bool ReadProgramOutputs(const std::vector<std::string>& from_command_line,
                        const std::string& app_name, ProgramOutputPlan* plan, std::string* error) {
  if (!from_command_line.empty()) {
    return ParseProgramOutputs(from_command_line, "--output", plan, error);
  }
  std::vector<std::string> entries;
  const CConfigStore config(app_name);
  for (int key = 1;; ++key) {
    const std::string entry = config.Read(kOutputsSection, std::to_string(key), "");
    if (entry.empty()) break;
    entries.push_back(entry);
  }
  config.KeepSecretsPrivate();
  return ParseProgramOutputs(entries, config.FilePath() + " [Outputs]", plan, error);
}

bool DefaultSoundWanted(const ProgramOutputPlan& plan, bool no_monitor, bool no_sound,
                        const QString& platform) {
  const bool display = !platform.isEmpty() && platform != "offscreen" && platform != "minimal";
  return display && !no_monitor && !no_sound && plan.sounds.empty();
}

bool CheckScreens(const ProgramOutputPlan& plan, std::string* error) {
  if (!plan.screens.empty() && !HasDisplay()) {
    *error = plan.origin + ": a screen output needs a display, and this deck runs without one";
    return false;
  }
  if (plan.screens.empty()) return true;
  const QList<QScreen*> screens = QGuiApplication::screens();
  for (const ScreenSettings& screen : plan.screens) {
    if (screen.screen < screens.size() && !screens.empty()) continue;
    *error = plan.origin + ": screen:" + std::to_string(screen.screen) + ": there is no screen " +
             std::to_string(screen.screen) + "; ";
    if (screens.empty()) {
      *error += "this display has no screen";
    } else {
      *error += "the screens are";
      for (int i = 0; i < screens.size(); ++i) {
        *error += (i == 0 ? " " : "; ") + ScreenLine(i, screens[i]);
      }
    }
    return false;
  }
  return true;
}

void ListOutputs(std::ostream& out) {
  const QList<QScreen*> screens = HasDisplay() ? QGuiApplication::screens() : QList<QScreen*>();
  out << "Screens (--output screen:N; the last is the default):\n";
  if (screens.empty()) out << "  none\n";
  for (int i = 0; i < screens.size(); ++i) out << "  " << ScreenLine(i, screens[i]) << "\n";
  out << "Sound devices (--output sound:NAME; the first is the default):\n";
  const std::vector<QAudioDevice> devices = SoundDevices();
  if (devices.empty()) out << "  none\n";
  for (const QAudioDevice& device : devices) {
    out << "  \"" << device.description().toStdString() << "\" (id " << device.id().toStdString()
        << ")\n";
  }
}

BoardWithOutputs::~BoardWithOutputs() {
  CProgramOutput* output = program          ? program.get()
                           : monitor_window ? &monitor_window->program()
                                            : nullptr;
  if (output != nullptr) {
    for (const std::shared_ptr<IProgramSink>& sink : sinks) output->RemoveSink(sink.get());
  }
  // The run's figures, for the log.
  for (const std::shared_ptr<IProgramSink>& sink : sinks) {
    std::ostringstream text;
    text << "output " << sink->Name() << ": ";
    if (const auto* screen = dynamic_cast<const CScreenOutput*>(sink.get())) {
      const CScreenOutput::Counts counts = screen->counts();
      const CLatencyRecord::Summary handover = screen->TickToHandover();
      text << counts.received << " ticks, " << counts.handed << " pictures handed over, "
           << counts.late + counts.replaced << " not within their tick, " << counts.presented
           << " drawn; tick to handover p99 "
           << std::chrono::duration<double, std::milli>(handover.p99).count() << " ms";
    } else if (const auto* sound = dynamic_cast<const CSoundOutput*>(sink.get())) {
      const CSoundOutput::Counts counts = sound->counts();
      text << counts.queue.ticks << " ticks, " << counts.queue.underruns << " underruns, "
           << counts.queue.skipped_samples << " samples skipped, delay about "
           << counts.delay_us / 1000 << " ms queued (" << counts.played_delay_us / 1000
           << " ms by the device's count)";
    }
    DebugOutput("Info Output", text.str());
  }
  sinks.clear();
}

std::shared_ptr<BoardWithOutputs> StartBoardWithOutputs(const ProgramOutputPlan& plan,
                                                        bool no_monitor, bool no_sound,
                                                        std::ostream& errors) {
  auto server = std::make_shared<BoardWithOutputs>();
  server->board = StartBoardFromEnvironment();
  const bool display = HasDisplay();
  if (display) server->monitor_window = StartBoardMonitor(server->board.get(), no_monitor);
  if (!server->board || server->board->config().board_count < 1) return server;
  const OutputFormat& format = server->board->config().format;

  const QList<QScreen*> screens = display ? QGuiApplication::screens() : QList<QScreen*>();
  for (int i = 0; i < screens.size(); ++i) errors << ScreenLine(i, screens[i]) << "\n";
  if (server->monitor_window) {
    server->monitor_window->SetBurnInTimecode(plan.monitor_burn_timecode);
    errors << "output monitor window: the board's output"
           << (plan.monitor_burn_timecode ? " with burned-in timecode" : "") << "\n";
  }

  std::vector<SoundSettings> sounds;
  if (!no_sound) sounds = plan.sounds;
  if (DefaultSoundWanted(plan, no_monitor, no_sound,
                         display ? QGuiApplication::platformName() : QString())) {
    sounds.push_back(SoundSettings{});
  }
  if (plan.streams.empty() && plan.screens.empty() && sounds.empty()) return server;

  CProgramOutput* program = nullptr;
  if (server->monitor_window) {
    program = &server->monitor_window->program();
  } else {
    server->monitor = std::make_unique<CBoardMonitor>(*server->board);
    server->program = std::make_unique<CProgramOutput>(*server->board, *server->monitor);
    program = server->program.get();
  }
  for (const StreamSettings& output : plan.streams) {
    errors << "output " << output.display_name << ": program stream of the board's output\n";
    program->AddSink(std::make_shared<CStreamOutput>(output, format));
  }
  for (const ScreenSettings& settings : plan.screens) {
    if (!display) {
      errors << "output screen: no display, so no screen output\n";
      break;
    }
    std::string error;
    std::shared_ptr<CScreenOutput> screen = CScreenOutput::Create(settings, format, &error);
    if (!screen) {
      // CheckScreens refused this before start-up; a screen gone since then is not fatal.
      errors << "output screen: " << error << "\n";
      continue;
    }
    errors << "output " << screen->Name() << ": the program picture full screen ("
           << (screen->UsesOpenGl() ? "OpenGL, paced by the screen's refresh"
                                    : "plain window, "
                                      "no refresh pacing")
           << (settings.burn_timecode ? ", burned-in timecode" : "") << ")\n";
    server->sinks.push_back(screen);
    program->AddSink(screen);
  }
  // The sound meets the picture of the first screen output, where there is one.
  std::function<std::int64_t()> picture_delay;
  for (const std::shared_ptr<IProgramSink>& sink : server->sinks) {
    if (const auto* screen = dynamic_cast<const CScreenOutput*>(sink.get())) {
      picture_delay = screen->PictureDelaySource();
      break;
    }
  }
  for (const SoundSettings& settings : sounds) {
    std::shared_ptr<CSoundOutput> sound = StartSoundOutput(settings, format, errors, picture_delay);
    if (!sound) continue;
    errors << "output " << sound->Name() << ": the program sound, 48 kHz stereo\n";
    server->sinks.push_back(sound);
    program->AddSink(sound);
  }
  return server;
}

}  // namespace vxr
