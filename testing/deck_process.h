#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace vxr::testing {

// One run of the vxrdeck program as a separate process, offscreen, with its own configuration
// and runtime folders under folder and its output in folder/vxrdeck.log. The environment is
// this process's, without any VXR_BOARD_* setting, plus env_changes. A program still running
// when the object goes is killed.
class DeckProcess {
 public:
  DeckProcess(std::string program, const std::string& folder,
              std::map<std::string, std::string> env_changes = {});
  ~DeckProcess();
  DeckProcess(const DeckProcess&) = delete;
  DeckProcess& operator=(const DeckProcess&) = delete;

  bool Start(const std::vector<std::string>& arguments);
  bool Running();
  // The exit code once the program has ended within timeout_ms; -1 otherwise (or on a signal,
  // then TermSignal tells which).
  int WaitForExit(int timeout_ms);
  int TermSignal() const;
  void Signal(int signal_number);
  pid_t Pid() const { return pid_; }
  std::string Log() const;
  // The port the log names, once a line matches pattern (a regular expression whose first group
  // is the port); 0 when the program ends first or timeout_ms passes.
  int LoggedPort(const std::string& pattern, int timeout_ms);
  // The program's resident memory in kilobytes (VmRSS); -1 when it cannot be read.
  long ResidentKb() const;
  // The configuration file the program writes (QSettings' INI form).
  std::string ConfigFile() const { return folder_ + "/Kavendi/Calvera/vxrdeck.ini"; }

 private:
  std::string program_;
  std::string folder_;
  std::string log_path_;
  std::vector<std::string> env_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

// Starts argv_text (looked up on PATH when its first word names no folder) with exactly the
// environment given, standard output and error both in log_path. The process id; -1 when it
// could not start.
pid_t SpawnLogged(std::vector<std::string> argv_text, std::vector<std::string> environment,
                  const std::string& log_path);

// SpawnLogged, then waits up to timeout_ms for the end; the wait status in *status. False when it
// could not start or did not end in time (it is killed then).
bool RunToEnd(std::vector<std::string> argv_text, std::vector<std::string> environment,
              const std::string& log_path, int timeout_ms, int* status);

// What a program run to its end left: its exit code (-1 when it could not start, did not end in
// time or died by a signal) and its standard output and standard error together.
struct ProgramRun {
  int exit_code = -1;
  std::string output;
};

// Runs argv_text with this process's environment changed by env_changes (an empty value removes
// the variable), its output in log_path, and waits up to timeout_ms for its end.
ProgramRun RunProgram(std::vector<std::string> argv_text, const std::string& log_path,
                      int timeout_ms, const std::map<std::string, std::string>& env_changes = {});

// The environment changes that leave a program no display of any kind.
const std::map<std::string, std::string>& NoDisplay();

// The value of key in section of an INI file ("" when absent).
std::string IniValue(const std::string& path, const std::string& section, const std::string& key);

}  // namespace vxr::testing
