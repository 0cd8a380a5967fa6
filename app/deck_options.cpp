#include "app/deck_options.h"

#include <QCommandLineParser>
#include <QStringList>
#include <filesystem>
#include <string_view>

namespace vxr {
namespace {

// The options that take a value, as written on the command line.
constexpr std::string_view kValueOptions[] = {
    "--port", "--tape", "--output", "--control", "--control-allow", "--library", "--http"};

std::string MakeAbsolute(const std::string& path, const std::string& working_directory) {
  std::filesystem::path p(path);
  if (p.is_relative()) p = std::filesystem::path(working_directory) / p;
  return p.lexically_normal().string();
}

// Qt's parser would take the next argument as the value whatever it is; "--tape --remote" is a
// forgotten value, not a tape called "--remote". The name of the first such option, or empty.
std::string OptionWithMissingValue(const std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "--") break;
    for (std::string_view name : kValueOptions) {
      if (arguments[i] != name) continue;
      if (i + 1 >= arguments.size() || arguments[i + 1].starts_with("-")) return std::string(name);
    }
  }
  return std::string();
}

// Qt's message ("Unknown option 'x'.") as one line of ours, without the full stop.
std::string ParserError(const QCommandLineParser& parser) {
  std::string text = parser.errorText().toStdString();
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
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
  if (const std::string name = OptionWithMissingValue(arguments); !name.empty()) {
    return fail("option " + name + " needs a value");
  }

  // The help text is DeckUsage's, so the options carry no descriptions of their own.
  QCommandLineParser parser;
  const QCommandLineOption port("port", QString(), "NAME");
  const QCommandLineOption tape("tape", QString(), "PATH");
  const QCommandLineOption output("output", QString(), "OUTPUT");
  const QCommandLineOption remote("remote");
  const QCommandLineOption no_monitor("no-monitor");
  const QCommandLineOption no_sound("no-sound");
  const QCommandLineOption list_outputs("list-outputs");
  const QCommandLineOption headless("headless");
  const QCommandLineOption control("control", QString(), "[ADDR:]PORT");
  const QCommandLineOption control_allow("control-allow", QString(), "NETWORKS");
  const QCommandLineOption library("library", QString(), "DIR");
  const QCommandLineOption http("http", QString(), "[ADDR:]PORT");
  const QCommandLineOption help(QStringList{"h", "help"});
  const QCommandLineOption version("version");
  parser.addOptions({port, tape, output, remote, no_monitor, no_sound, list_outputs, headless,
                     control, control_allow, library, http, help, version});

  QStringList list{QStringLiteral("vxrdeck")};  // the parser skips the program's name
  for (const std::string& argument : arguments) list << QString::fromStdString(argument);
  if (!parser.parse(list)) return fail(ParserError(parser));
  if (const QStringList extra = parser.positionalArguments(); !extra.isEmpty()) {
    return fail("unexpected argument '" + extra.front().toStdString() + "'");
  }

  // Every option once, except --output and --library; --help wins over --version.
  const QStringList found = parser.optionNames();
  for (const QString& name : found) {
    if (name != "output" && name != "library" && found.count(name) > 1) {
      return fail("option --" + name.toStdString() + " is given twice");
    }
  }
  if (parser.isSet(help)) {
    parsed.action = OptionsAction::kHelp;
  } else if (parser.isSet(version)) {
    parsed.action = OptionsAction::kVersion;
  }

  for (const QCommandLineOption* option :
       {&port, &tape, &output, &control, &control_allow, &library, &http}) {
    const std::string name = option->names().front().toStdString();
    for (const QString& value : parser.values(*option)) {
      if (value.isEmpty()) return fail("option --" + name + " needs a non-empty value");
    }
  }
  if (parser.isSet(port)) parsed.options.port = parser.value(port).toStdString();
  if (parser.isSet(tape)) {
    parsed.options.tape = MakeAbsolute(parser.value(tape).toStdString(), working_directory);
  }
  for (const QString& value : parser.values(output)) {
    parsed.options.outputs.push_back(value.toStdString());
  }
  if (parser.isSet(control)) parsed.options.control = parser.value(control).toStdString();
  if (parser.isSet(control_allow)) {
    parsed.options.control_allow = parser.value(control_allow).toStdString();
  }
  if (parser.isSet(http)) parsed.options.http = parser.value(http).toStdString();
  for (const QString& value : parser.values(library)) {
    parsed.options.libraries.push_back(MakeAbsolute(value.toStdString(), working_directory));
  }
  parsed.options.remote = parser.isSet(remote);
  parsed.options.no_monitor = parser.isSet(no_monitor);
  parsed.options.no_sound = parser.isSet(no_sound);
  parsed.options.list_outputs = parser.isSet(list_outputs);
  parsed.options.headless = parser.isSet(headless);
  return parsed;
}

std::string DeckUsage(const std::string& program_name) {
  return "Usage: " + program_name +
         " [--port NAME] [--tape PATH] [--remote] [--no-monitor] [--no-sound]\n"
         "       [--output OUTPUT]...\n"
         "       " +
         program_name +
         " --headless [--port NAME|none] [--tape PATH] [--output OUTPUT]...\n"
         "       [--control [ADDR:]PORT [--control-allow NETWORKS]] [--library DIR]...\n"
         "       [--http [ADDR:]PORT]\n"
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
         "  --headless    no panel and no window: serve the port from start-up with the tape\n"
         "                of --tape, else the most recent one, until SIGTERM, SIGINT or\n"
         "                SIGHUP (for a deck without a display, under a service manager)\n"
         "  --control [ADDR:]PORT  serve the studio's TCP control protocol (HyperDeck\n"
         "                Ethernet protocol) on ADDR (default 127.0.0.1) and PORT (default 9993);\n"
         "                with --port none the deck is driven from the network alone\n"
         "  --control-allow NETWORKS  the client networks allowed, e.g. "
         "10.0.0.0/8,192.168.1.0/24;\n"
         "                needed when ADDR is not a loopback address\n"
         "  --library DIR  offer the tapes of DIR to the network (repeatable; by default the\n"
         "                folder of the current tape)\n"
         "  --http [ADDR:]PORT  serve the deck's web page, JSON API and /metrics on ADDR\n"
         "                (default 127.0.0.1); another address needs [Http] token_file=\n"
         "  -h, --help    print this text\n"
         "  --version     print the version\n"
         "\n"
         "SIGINT, SIGTERM and SIGHUP end the deck as its POWER button does. The settings live in\n"
         "$XDG_CONFIG_HOME/Kavendi/Calvera/" +
         program_name +
         ".ini (~/.config by default);\n"
         "the software video board reads VXR_BOARD_COUNT, VXR_BOARD_FORMAT,\n"
         "VXR_BOARD_REGISTERED, VXR_BOARD_LOG and VXR_BOARD_MONITOR.\n";
}

}  // namespace vxr
