// vxrdeck: the tape deck's program. One panel window; the program ends when the panel ends
// (POWER, Enter, Escape, the window's close request, SIGINT, SIGTERM or SIGHUP). With
// --headless there is no window at all and the deck serves its port until a signal ends it.

#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app/config_store.h"
#include "app/control_settings.h"
#include "app/deck_app.h"
#include "app/deck_options.h"
#include "app/display_check.h"
#include "app/headless_deck.h"
#include "app/http_settings.h"
#include "app/output_kinds.h"
#include "app/program_outputs.h"
#include "app/skin_location.h"
#include "app/termination_signals.h"
#include "player/player_factory.h"

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

}  // namespace

int main(int argc, char** argv) {
  // A closed standard error or a receiver that went away is a failed write (EPIPE), never the
  // end of the deck: a service whose log reader went must go on serving its controller.
  ::signal(SIGPIPE, SIG_IGN);
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

  const bool headless = parsed.options.headless;
  std::string output_error;
  // The web server's address and token: refused here too, before anything starts.
  vxr::HttpSettings http;
  if (!vxr::ReadHttpSettings(parsed.options, vxr::CConfigStore(app_name), &http, &output_error)) {
    std::fprintf(stderr, "%s: %s\n", app_name.c_str(), output_error.c_str());
    return vxr::kExitUsage;
  }

  // The web page's thumbnail takes the program whenever the web server is on.
  auto outputs = std::make_shared<vxr::ProgramOutputPlan>();
  if (http.enabled) outputs->page_thumbnail = std::make_shared<vxr::CThumbnailSlot>();
  outputs->kinds = vxr::DeckOutputKinds(parsed.options.no_monitor, parsed.options.no_sound,
                                        outputs->page_thumbnail);
  if (!vxr::ReadProgramOutputs(parsed.options.outputs, app_name, outputs.get(), &output_error)) {
    std::fprintf(stderr, "%s: %s\n", app_name.c_str(), output_error.c_str());
    return vxr::kExitUsage;
  }

  // The control protocol's address and the library: refused here like a bad --output.
  vxr::ControlSettings control;
  if (!vxr::ReadControlSettings(parsed.options, vxr::CConfigStore(app_name), &control,
                                &output_error)) {
    std::fprintf(stderr, "%s: %s\n", app_name.c_str(), output_error.c_str());
    return vxr::kExitUsage;
  }

  // Under the headless deck's core application this makes no window and no default sound. The
  // web server reads the board's figures while the deck runs.
  auto board_slot = std::make_shared<std::weak_ptr<vxr::BoardWithOutputs>>();
  auto start_server = [outputs, board_slot] {
    std::shared_ptr<vxr::BoardWithOutputs> board = vxr::StartBoardWithOutputs(outputs, std::cerr);
    *board_slot = board;
    return vxr::ServerLibrary(std::move(board));
  };
  vxr::BoardSource board_source = [board_slot] { return board_slot->lock(); };
  // Once the application object exists: --list-outputs ends the run here, and an output that
  // cannot be had here (a screen that is not there) refuses it. -1: go on.
  auto list_or_check_outputs = [&]() -> int {
    if (parsed.options.list_outputs) {
      vxr::ListOutputs(*outputs, std::cout);
      return vxr::kExitOk;
    }
    if (!vxr::CheckProgramOutputs(*outputs, &output_error)) {
      std::fprintf(stderr, "%s: %s\n", app_name.c_str(), output_error.c_str());
      return vxr::kExitUsage;
    }
    return -1;
  };
  if (headless) {
    QCoreApplication application(argc, argv);
    if (const int exit_code = list_or_check_outputs(); exit_code >= 0) return exit_code;
    vxr::CHeadlessDeck deck(app_name, vxr::MakeClvrPlayerFactory(), start_server);
    deck.SetControl(control);
    deck.SetHttp(http, board_source);
    return deck.Run(parsed.options);
  }

  PreferX11UnderWayland();
  // Qt would abort with its own text and a core dump: say it in one line instead.
  const std::string no_display =
      vxr::NoDisplayReason(vxr::DisplayEnvironmentFromProcess(), &vxr::LocalSocketAnswers);
  if (!no_display.empty() && parsed.options.list_outputs) {
    // Without a display there are no screens to list, but there may be sound devices.
    QCoreApplication application(argc, argv);
    vxr::ListOutputs(*outputs, std::cout);
    return vxr::kExitOk;
  }
  if (!no_display.empty()) {
    std::fprintf(stderr, "%s\n", vxr::NoDisplayText(app_name, no_display).c_str());
    return vxr::kExitFailed;
  }
  QApplication application(argc, argv);
  QIcon icon(":/icons/vxrdeck_32.png");
  icon.addFile(":/icons/vxrdeck_16.png");
  QApplication::setWindowIcon(icon);
  if (const int exit_code = list_or_check_outputs(); exit_code >= 0) return exit_code;

  vxr::CDeckApp deck_app(app_name, vxr::MakeClvrPlayerFactory(), start_server);
  deck_app.SetSkinPath(vxr::FindSkinPath(executable));
  deck_app.SetControl(control);
  deck_app.SetHttp(http, board_source);
  vxr::CTerminationSignals termination([&deck_app] { deck_app.RequestPowerOff(); });
  return deck_app.Run(parsed.options);
}
