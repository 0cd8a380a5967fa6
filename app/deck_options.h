#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vxr {

// What the command line asks of this run. With no option the deck starts exactly as a user
// would start it from the desktop.
struct DeckOptions {
  // The edit controller's port for this run, as if chosen in Settings.
  std::optional<std::string> port;
  // An absolute path: the tape loaded after start-up, as if chosen from the status label.
  std::optional<std::string> tape;
  // Hand the deck to the edit controller after start-up, as if REMOTE had been pressed.
  bool remote = false;
  // No window showing the board's output, whatever VXR_BOARD_MONITOR says.
  bool no_monitor = false;
  // No panel and no window at all: the deck serves the port from start-up with its tape loaded
  // and runs until a termination signal (a rack deck under a service manager).
  bool headless = false;
  // Program outputs (--output, repeatable: streams, screens, sound devices), as written; they
  // replace the INI's [Outputs] list for this run.
  std::vector<std::string> outputs;
  // No sound on this machine's sound device, not even the default that comes with the monitor.
  bool no_sound = false;
  // Print the screens and sound devices the outputs may name, then end.
  bool list_outputs = false;
  // The studio's TCP control protocol on [ADDR:]PORT (default 127.0.0.1:9993), its client
  // networks, and the library's folders (repeatable; absolute). They win over the INI's
  // [Control] and [Library].
  std::optional<std::string> control;
  std::optional<std::string> control_allow;
  std::vector<std::string> libraries;
  // The web page, API and metrics on [ADDR:]PORT (default address 127.0.0.1); wins over the
  // INI's [Http] listen=.
  std::optional<std::string> http;
};

enum class OptionsAction { kRun, kHelp, kVersion, kUsageError };

struct ParsedOptions {
  OptionsAction action = OptionsAction::kRun;
  DeckOptions options;
  std::string error;  // for kUsageError: what was wrong, one line
};

// Reads the arguments after the program name. A relative --tape is made absolute against
// working_directory. Values may follow as the next argument or after "=". Needs no application
// object, so it runs before Qt is asked for a display.
ParsedOptions ParseDeckOptions(const std::vector<std::string>& arguments,
                               const std::string& working_directory);

// The --help text of a program called program_name.
std::string DeckUsage(const std::string& program_name);

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

}  // namespace vxr
