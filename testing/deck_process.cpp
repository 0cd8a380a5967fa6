#include "testing/deck_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "testing/wait_for.h"

extern char** environ;

namespace vxr::testing {
namespace {

std::string WholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

DeckProcess::DeckProcess(std::string program, const std::string& folder,
                         std::map<std::string, std::string> env_changes)
    : program_(std::move(program)), folder_(folder), log_path_(folder + "/vxrdeck.log") {
  const std::string runtime = folder + "/runtime";
  ::mkdir(runtime.c_str(), 0700);
  env_changes.emplace("QT_QPA_PLATFORM", "offscreen");
  env_changes.emplace("XDG_CONFIG_HOME", folder);
  env_changes.emplace("XDG_RUNTIME_DIR", runtime);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (env_changes.count(name) == 0 && name.rfind("VXR_BOARD_", 0) != 0) env_.push_back(text);
  }
  for (const auto& [name, value] : env_changes) env_.push_back(name + "=" + value);
}

DeckProcess::~DeckProcess() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool DeckProcess::Start(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv_text = {program_};
  argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
  pid_ = SpawnLogged(std::move(argv_text), env_, log_path_);
  return pid_ > 0;
}

bool DeckProcess::Running() {
  if (exited_ || pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    exited_ = true;
    status_ = status;
  }
  return !exited_;
}

int DeckProcess::WaitForExit(int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Running() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!exited_ || !WIFEXITED(status_)) return -1;
  return WEXITSTATUS(status_);
}

int DeckProcess::TermSignal() const {
  return exited_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

void DeckProcess::Signal(int signal_number) {
  if (pid_ > 0 && !exited_) ::kill(pid_, signal_number);
}

int DeckProcess::LoggedPort(const std::string& pattern, int timeout_ms) {
  const std::regex listening(pattern);
  int port = 0;
  WaitFor(
      [&] {
        std::smatch found;
        const std::string log = Log();
        if (std::regex_search(log, found, listening)) port = std::stoi(found[1]);
        return port > 0 || !Running();
      },
      timeout_ms);
  return port;
}

std::string DeckProcess::Log() const { return WholeFile(log_path_); }

long DeckProcess::ResidentKb() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::string IniValue(const std::string& path, const std::string& section, const std::string& key) {
  std::ifstream in(path);
  std::string line, current;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == '[') {
      // Section names are written percent-encoded ("Recent%20File%20List").
      current.clear();
      const std::string name = line.substr(1, line.find(']') - 1);
      for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size()) {
          current += static_cast<char>(std::stoi(name.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          current += name[i];
        }
      }
    } else if (current == section && line.rfind(key + "=", 0) == 0) {
      return line.substr(key.size() + 1);
    }
  }
  return {};
}

pid_t SpawnLogged(std::vector<std::string> argv_text, std::vector<std::string> environment,
                  const std::string& log_path) {
  std::vector<char*> argv, envp;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int error = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

bool RunToEnd(std::vector<std::string> argv_text, std::vector<std::string> environment,
              const std::string& log_path, int timeout_ms, int* status) {
  const pid_t pid = SpawnLogged(std::move(argv_text), std::move(environment), log_path);
  if (pid <= 0) return false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (::waitpid(pid, status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() >= end) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

ProgramRun RunProgram(std::vector<std::string> argv_text, const std::string& log_path,
                      int timeout_ms, const std::map<std::string, std::string>& env_changes) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (env_changes.count(text.substr(0, text.find('='))) == 0) environment.push_back(text);
  }
  for (const auto& [name, value] : env_changes) {
    if (!value.empty()) environment.push_back(name + "=" + value);
  }
  ProgramRun run;
  int status = 0;
  if (RunToEnd(std::move(argv_text), std::move(environment), log_path, timeout_ms, &status) &&
      WIFEXITED(status)) {
    run.exit_code = WEXITSTATUS(status);
  }
  run.output = WholeFile(log_path);
  return run;
}

const std::map<std::string, std::string>& NoDisplay() {
  static const std::map<std::string, std::string> kNoDisplay = {
      {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
  return kNoDisplay;
}

}  // namespace vxr::testing
