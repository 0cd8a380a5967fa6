#include "testing/no_display_start.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "testing/deck_process.h"

namespace vxr::testing {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// A bound for a run to end; generous, for a wait and not a measure of speed.
constexpr int kRunMs = 30000;

constexpr const char* kNoDisplayLine =
    "vxrdeck: no display found (DISPLAY is not set); to run without one: "
    "vxrdeck --headless --port NAME --tape PATH\n";

struct StartCase {
  std::vector<std::string> arguments;
  int exit_code;
  std::string says;  // in the output
};

}  // namespace

void ExpectNoDisplayStart(const std::string& program, const std::string& folder) {
  std::map<std::string, std::string> none = NoDisplay();
  none["XDG_CONFIG_HOME"] = folder;
  std::map<std::string, std::string> unknown_platform = none;
  unknown_platform["QT_QPA_PLATFORM"] = "no-such-platform";
  const StartCase kNeedNoDisplay[] = {
      {{"--help"}, kExitOk, "Usage: vxrdeck [--port NAME] [--tape PATH] [--remote]"},
      {{"--help"}, kExitOk, "--headless"},
      {{"--version"}, kExitOk, "vxrdeck "},
      {{"--tape"}, kExitUsage, "vxrdeck: option --tape needs a value"},
      {{"--headles"}, kExitUsage, "vxrdeck: Unknown option 'headles'"},
  };
  const std::string log = folder + "/no-display.log";
  for (const auto* env : {&none, &unknown_platform}) {
    for (const StartCase& c : kNeedNoDisplay) {
      std::vector<std::string> argv{program};
      argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
      const ProgramRun run = RunProgram(argv, log, kRunMs, *env);
      SCOPED_TRACE(c.arguments.front() + (env == &none ? " without a display" : " on no platform"));
      EXPECT_EQ(run.exit_code, c.exit_code) << run.output;
      EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    }
  }
  // The version line begins the output.
  EXPECT_EQ(RunProgram({program, "--version"}, log, kRunMs, none).output.rfind("vxrdeck ", 0), 0u);
  // The panel, with or without the board's monitor, says in one line what to run instead.
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{}, std::vector<std::string>{"--no-monitor"}}) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const ProgramRun run = RunProgram(argv, log, kRunMs, none);
    EXPECT_EQ(run.exit_code, kExitFailed) << run.output;
    EXPECT_EQ(run.output, kNoDisplayLine);
  }
}

}  // namespace vxr::testing
