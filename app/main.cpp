// vxrdeck: the tape deck's program. One panel window; the program ends when the panel ends
// (POWER, Enter, Escape, the window's close request, SIGINT, SIGTERM or SIGHUP). With
// --headless there is no window at all and the deck serves its port until a signal ends it.

#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app/config_store.h"
#include "app/deck_app.h"
#include "app/deck_options.h"
#include "app/display_check.h"
#include "app/headless_deck.h"
#include "app/skin_location.h"
#include "app/termination_signals.h"
#include "player/player_factory.h"
#include "vboard/monitor/monitor_window.h"
#include "vboard/output/output_url.h"
#include "vboard/output/program_output.h"
#include "vboard/output/stream_output.h"
#include "vboard/software_board.h"

namespace {

// The running executable's path, for the application name; argv[0] when the system does not
// say.
std::string ExecutablePath(const char* argv0) {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error && !self.empty()) return self.string();
  return argv0 != nullptr ? argv0 : "vxrdeck";
}

std::string WorkingDirectory() {
  std::error_code error;
  const std::filesystem::path cwd = std::filesystem::current_path(error);
  return error ? std::string() : cwd.string();
}

// The panel positions itself on screen, which a Wayland session does not allow: ask for X11
// there unless the user chose a platform.
void PreferX11UnderWayland() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform != nullptr && platform[0] != '\0') return;
  const char* session = std::getenv("XDG_SESSION_TYPE");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const bool is_wayland = (session != nullptr && std::string(session) == "wayland") ||
                          (wayland != nullptr && wayland[0] != '\0');
  if (is_wayland) ::setenv("QT_QPA_PLATFORM", "xcb", 1);
}

// The software board, the window that shows its output and the program outputs. Members go in
// reverse order: the program outputs first, the board last.
struct BoardWithOutputs {
  std::unique_ptr<vxr::CSoftwareBoard> board;
  std::unique_ptr<vxr::CMonitorWindow> monitor_window;  // with the program output it shows
  std::unique_ptr<vxr::CBoardMonitor> monitor;          // when no window shows the output
  std::unique_ptr<vxr::CProgramOutput> program;         // the same
};

constexpr const char* kOutputsSection = "Outputs";

// The program stream destinations of this run: the command line's, else the INI's [Outputs]
// keys 1, 2, ... up to the first missing one. Each is checked; nothing is opened yet.
bool OutputSettings(const std::vector<std::string>& from_command_line, const std::string& app_name,
                    std::vector<vxr::StreamSettings>* settings, std::string* error) {
  std::vector<std::string> urls = from_command_line;
  std::string origin = "--output";
  if (urls.empty()) {
    const vxr::CConfigStore config(app_name);
    for (int key = 1;; ++key) {
      const std::string url = config.Read(kOutputsSection, std::to_string(key), "");
      if (url.empty()) break;
      urls.push_back(url);
    }
    origin = config.FilePath() + " [Outputs]";
    config.KeepSecretsPrivate();
  }
  for (const std::string& url : urls) {
    const vxr::ParsedOutputUrl parsed = vxr::ParseOutputUrl(url);
    if (!parsed.settings) {
      *error = origin + ": " + parsed.error;
      return false;
    }
    settings->push_back(*parsed.settings);
  }
  return true;
}

// The program outputs of the deck's board, fed by the monitor that watches it (the window's, or
// one of their own when no window shows).
void StartProgramOutputs(BoardWithOutputs* server,
                         const std::vector<vxr::StreamSettings>& outputs) {
  if (outputs.empty() || !server->board || server->board->config().board_count < 1) return;
  vxr::CProgramOutput* program = nullptr;
  if (server->monitor_window) {
    program = &server->monitor_window->program();
  } else {
    server->monitor = std::make_unique<vxr::CBoardMonitor>(*server->board);
    server->program = std::make_unique<vxr::CProgramOutput>(*server->board, *server->monitor);
    program = server->program.get();
  }
  for (const vxr::StreamSettings& output : outputs) {
    std::fprintf(stderr, "output %s: program stream of the board's output\n",
                 output.display_name.c_str());
    program->AddSink(std::make_shared<vxr::CStreamOutput>(output, server->board->config().format));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string executable = ExecutablePath(argv[0]);
  const std::string app_name = vxr::CDeckApp::AppNameFromPath(executable);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const vxr::ParsedOptions parsed = vxr::ParseDeckOptions(arguments, WorkingDirectory());
  switch (parsed.action) {
    case vxr::OptionsAction::kHelp:
      std::fputs(vxr::DeckUsage(app_name).c_str(), stdout);
      return vxr::kExitOk;
    case vxr::OptionsAction::kVersion:
      std::printf("%s %s\n", app_name.c_str(), VXR_VERSION);
      return vxr::kExitOk;
    case vxr::OptionsAction::kUsageError:
      std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", app_name.c_str(),
                   parsed.error.c_str(), app_name.c_str());
      return vxr::kExitUsage;
    case vxr::OptionsAction::kRun:
      break;
  }

  std::vector<vxr::StreamSettings> outputs;
  std::string output_error;
  if (!OutputSettings(parsed.options.outputs, app_name, &outputs, &output_error)) {
    std::fprintf(stderr, "%s: %s\n", app_name.c_str(), output_error.c_str());
    return vxr::kExitUsage;
  }

  const bool headless = parsed.options.headless;
  const bool no_monitor = parsed.options.no_monitor;
  auto start_server = [headless, no_monitor, outputs] {
    auto server = std::make_shared<BoardWithOutputs>();
    server->board = vxr::StartBoardFromEnvironment();
    // Headless makes no GUI object, so no monitor window either.
    if (!headless) server->monitor_window = vxr::StartBoardMonitor(server->board.get(), no_monitor);
    StartProgramOutputs(server.get(), outputs);
    return vxr::CDeckApp::ServerLibrary(server);
  };
  if (headless) {
    QCoreApplication application(argc, argv);
    vxr::CHeadlessDeck deck(app_name, vxr::MakeClvrPlayerFactory(), start_server);
    return deck.Run(parsed.options);
  }

  PreferX11UnderWayland();
  // Qt would abort with its own text and a core dump: say it in one line instead.
  const std::string no_display =
      vxr::NoDisplayReason(vxr::DisplayEnvironmentFromProcess(), &vxr::LocalSocketAnswers);
  if (!no_display.empty()) {
    std::fprintf(stderr, "%s\n", vxr::NoDisplayText(app_name, no_display).c_str());
    return vxr::kExitFailed;
  }
  QApplication application(argc, argv);
  QIcon icon(":/icons/vxrdeck_32.png");
  icon.addFile(":/icons/vxrdeck_16.png");
  QApplication::setWindowIcon(icon);

  vxr::CDeckApp deck_app(app_name, vxr::MakeClvrPlayerFactory(), start_server);
  deck_app.SetSkinPath(vxr::FindSkinPath(executable));
  vxr::CTerminationSignals termination([&deck_app] { deck_app.RequestPowerOff(); });
  return deck_app.Run(parsed.options);
}
