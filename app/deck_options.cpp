#include "app/deck_options.h"

#include <filesystem>

namespace vxr {
namespace {

// Splits "--name=value" into its name and value; value stays empty without "=".
void SplitValue(const std::string& argument, std::string* name, std::optional<std::string>* value) {
  const std::size_t equals = argument.find('=');
  *name = argument.substr(0, equals);
  if (equals != std::string::npos) *value = argument.substr(equals + 1);
}

std::string MakeAbsolute(const std::string& path, const std::string& working_directory) {
  std::filesystem::path p(path);
  if (p.is_relative()) p = std::filesystem::path(working_directory) / p;
  return p.lexically_normal().string();
}

}  // namespace

ParsedOptions ParseDeckOptions(const std::vector<std::string>& arguments,
                               const std::string& working_directory) {
  ParsedOptions parsed;
  auto fail = [&parsed](std::string message) {
    parsed.action = OptionsAction::kUsageError;
    parsed.error = std::move(message);
    return parsed;
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string name;
    std::optional<std::string> value;
    SplitValue(arguments[i], &name, &value);
    const bool takes_value = name == "--port" || name == "--tape" || name == "--output";
    if (takes_value) {
      if (!value) {
        // "--tape --remote" is a forgotten value, not a tape called "--remote".
        if (i + 1 >= arguments.size() || arguments[i + 1].starts_with("-")) {
          return fail("option " + name + " needs a value");
        }
        value = arguments[++i];
      }
      if (value->empty()) return fail("option " + name + " needs a non-empty value");
      if (name == "--output") {
        parsed.options.outputs.push_back(*value);
        continue;
      }
      std::optional<std::string>& slot =
          name == "--port" ? parsed.options.port : parsed.options.tape;
      if (slot) return fail("option " + name + " is given twice");
      slot = name == "--tape" ? MakeAbsolute(*value, working_directory) : *value;
      continue;
    }
    if (value) return fail("option " + name + " takes no value");
    if (name == "--remote" || name == "--no-monitor" || name == "--no-sound" ||
        name == "--list-outputs") {
      bool& flag = name == "--remote"       ? parsed.options.remote
                   : name == "--no-monitor" ? parsed.options.no_monitor
                   : name == "--no-sound"   ? parsed.options.no_sound
                                            : parsed.options.list_outputs;
      if (flag) return fail("option " + name + " is given twice");
      flag = true;
    } else if (name == "--help" || name == "-h") {
      parsed.action = OptionsAction::kHelp;
    } else if (name == "--version") {
      if (parsed.action != OptionsAction::kHelp) parsed.action = OptionsAction::kVersion;
    } else if (!name.empty() && name[0] == '-') {
      return fail("unknown option '" + arguments[i] + "'");
    } else {
      return fail("unexpected argument '" + arguments[i] + "'");
    }
  }
  return parsed;
}

std::string DeckUsage(const std::string& program_name) {
  return "Usage: " + program_name +
         " [--port NAME] [--tape PATH] [--remote] [--no-monitor] [--no-sound]\n"
         "       [--output OUTPUT]...\n"
         "       " +
         program_name +
         " --help | --version | --list-outputs\n"
         "\n"
         "Starts the tape deck's front panel. Without options the deck starts under local\n"
         "control with no tape, and the edit controller is served once REMOTE is pressed.\n"
         "\n"
         "  --port NAME   serve the edit controller on NAME for this run instead of the\n"
         "                stored port (COM1 to COM256, a device path such as /dev/ttyUSB0,\n"
         "                or a name under /dev/); stored once REMOTE has started on it\n"
         "  --tape PATH   load the AVI file or TML project at PATH after start-up\n"
         "  --remote      hand the deck to the edit controller after start-up, as REMOTE\n"
         "  --no-monitor  no window showing the board's output (by default it shows on a\n"
         "                display; VXR_BOARD_MONITOR=0 or 1 turns it off or on)\n"
         "  --no-sound    no sound on this machine (by default the tape is heard on the\n"
         "                default sound device whenever the monitor shows by default)\n"
         "  --output OUTPUT  send the program (picture, sound, timecode) to OUTPUT:\n"
         "                udp://HOST:PORT, srt://HOST:PORT or rist://HOST:PORT (an MPEG-TS\n"
         "                stream), screen[:N] (full screen on screen N, default the last),\n"
         "                sound[:DEVICE] (a sound device, default the default one); add\n"
         "                ?burntc=1 to burn the timecode in (also 'monitor?burntc=1');\n"
         "                repeatable; replaces the INI's [Outputs] list for this run\n"
         "  --list-outputs  print the screens and sound devices, then end\n"
         "  -h, --help    print this text\n"
         "  --version     print the version\n"
         "\n"
         "SIGINT and SIGTERM end the deck as its POWER button does. The settings live in\n"
         "$XDG_CONFIG_HOME/Kavendi/Calvera/" +
         program_name +
         ".ini (~/.config by default);\n"
         "the software video board reads VXR_BOARD_COUNT, VXR_BOARD_FORMAT,\n"
         "VXR_BOARD_REGISTERED, VXR_BOARD_LOG and VXR_BOARD_MONITOR.\n";
}

}  // namespace vxr
