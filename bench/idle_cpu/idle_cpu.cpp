// idle_cpu: what the deck costs while it waits. Starts the real vxrdeck program offscreen with
// --no-monitor, the sample tape and REMOTE on a pseudo-terminal, waits until the tape stands
// stopped, then measures for a set time with the controller silent: the program's CPU share of
// one core, and per thread its share and how often it woke (context switches per second). Then
// the same while the tape plays.
//
//   idle_cpu [--seconds N] [--program PATH] [--tape PATH]     (default 10 s per phase)
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/status_bits.h"
#include "testing/controller_line.h"
#include "testing/deck_process.h"
#include "testing/pty_pair.h"
#include "testing/wait_for.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultSeconds = 10;
constexpr int kStartMs = 60000;  // a Qt program's start-up on a loaded machine
constexpr int kActMs = 10000;
// After the state is reached, time for the last of the load's or the command's work to end.
constexpr int kSettleMs = 1000;
constexpr double kNsPerSecond = 1e9;

// One thread's counters: CPU time in nanoseconds and context switches (voluntary ones are the
// thread's own waits ending, so they count its wakes).
struct ThreadSample {
  std::string name;
  long long cpu_ns = 0;
  long long switches = 0;
};

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The thread's CPU time: the scheduler's own nanosecond count when the kernel gives it, else
// user and system time in clock ticks.
long long CpuNs(const std::string& task, const std::string& stat) {
  std::istringstream schedstat(ReadWhole(task + "/schedstat"));
  long long ns = -1;
  if (schedstat >> ns && ns >= 0) return ns;
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  // Fields after the name start at the state (field 3); utime and stime are fields 14 and 15.
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::atoll(field.c_str());
    if (number == 15) stime = std::atoll(field.c_str());
  }
  return (utime + stime) * static_cast<long long>(kNsPerSecond) / sysconf(_SC_CLK_TCK);
}

std::map<int, ThreadSample> Sample(pid_t pid) {
  std::map<int, ThreadSample> threads;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return threads;
  while (const dirent* entry = readdir(dir)) {
    const int tid = std::atoi(entry->d_name);
    if (tid <= 0) continue;
    const std::string task = tasks + "/" + entry->d_name;
    const std::string stat = ReadWhole(task + "/stat");
    const std::size_t open = stat.find('(');
    const std::size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    ThreadSample sample;
    sample.name = stat.substr(open + 1, close - open - 1);
    if (tid == pid) sample.name += " (main)";
    sample.cpu_ns = CpuNs(task, stat);
    std::istringstream status(ReadWhole(task + "/status"));
    for (std::string line; std::getline(status, line);) {
      if (line.find("ctxt_switches:") != std::string::npos) {
        sample.switches += std::atoll(line.substr(line.find(':') + 1).c_str());
      }
    }
    threads[tid] = sample;
  }
  closedir(dir);
  return threads;
}

// Measures the program for seconds and prints its share of a core and each thread's.
void MeasureAndPrint(const char* phase, pid_t pid, int seconds) {
  const std::map<int, ThreadSample> before = Sample(pid);
  const Clock::time_point start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const std::map<int, ThreadSample> after = Sample(pid);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  long long total_ns = 0;
  std::vector<std::string> rows;
  for (const auto& [tid, end] : after) {
    const auto begin = before.find(tid);
    const long long cpu = end.cpu_ns - (begin == before.end() ? 0 : begin->second.cpu_ns);
    const long long wakes = end.switches - (begin == before.end() ? 0 : begin->second.switches);
    total_ns += cpu;
    char row[160];
    std::snprintf(row, sizeof row, "  %-24s %7d %8.3f %10.1f\n", end.name.c_str(), tid,
                  100.0 * cpu / kNsPerSecond / elapsed, wakes / elapsed);
    rows.push_back(row);
  }
  const double share = 100.0 * total_ns / kNsPerSecond / elapsed;
  std::printf("%s: %.3f %% of a core (%.2f ms of CPU per second) over %.1f s\n", phase, share,
              share * 10.0, elapsed);
  std::printf("  %-24s %7s %8s %10s\n", "thread", "tid", "cpu %", "wakes/s");
  for (const std::string& row : rows) std::fputs(row.c_str(), stdout);
  std::fflush(stdout);
}

// The folder of this program: the deck and the sample tape are built next to it.
std::string OwnFolder() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  std::string text(path, static_cast<std::size_t>(length));
  return text.substr(0, text.rfind('/'));
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = kDefaultSeconds;
  std::string program = VXRDECK_PROGRAM;
  std::string tape = OwnFolder() + "/sample.avi";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--program" && i + 1 < argc) {
      program = argv[++i];
    } else if (arg == "--tape" && i + 1 < argc) {
      tape = argv[++i];
    } else {
      std::fprintf(stderr, "usage: idle_cpu [--seconds N] [--program PATH] [--tape PATH]\n");
      return 2;
    }
  }

  char folder_pattern[] = "/tmp/vxr-idle-XXXXXX";
  if (mkdtemp(folder_pattern) == nullptr) {
    std::perror("idle_cpu: no temporary folder");
    return 2;
  }
  const std::string folder = folder_pattern;
  vxr::testing::PtyPair pty;
  vxr::testing::ControllerLine line(pty);
  if (!pty.ok()) {
    std::fprintf(stderr, "idle_cpu: no pseudo-terminal\n");
    return 2;
  }
  int status = 0;
  {
    vxr::testing::DeckProcess deck(program, folder);
    if (!deck.Start({"--no-monitor", "--tape", tape, "--port", pty.SlavePath(), "--remote"})) {
      std::fprintf(stderr, "idle_cpu: cannot start %s\n", program.c_str());
      return 2;
    }
    using vxr::testing::WaitFor;
    namespace status_bits = vxr::status;
    const bool stopped = line.WaitUntilServed(kStartMs) &&
                         WaitFor(
                             [&] {
                               return !deck.Running() || (line.Has(status_bits::Stop) &&
                                                          !line.Has(status_bits::Tape_OUT));
                             },
                             kActMs);
    if (!stopped || !deck.Running()) {
      std::fprintf(stderr, "idle_cpu: the deck did not stand stopped with %s\n%s", tape.c_str(),
                   deck.Log().c_str());
      return 2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    std::printf("idle_cpu: %s offscreen, --no-monitor, %s, REMOTE on a pty, controller silent\n",
                program.c_str(), tape.c_str());
    MeasureAndPrint("stopped with a tape", deck.Pid(), seconds);

    const bool playing = line.Send({0x20, 0x01}) == vxr::testing::Bytes{0x10, 0x01, 0x11} &&
                         WaitFor([&] { return line.Has(status_bits::Play); }, kActMs);
    if (playing) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
      MeasureAndPrint("playing", deck.Pid(), seconds);
    } else {
      std::fprintf(stderr, "idle_cpu: the deck did not play\n");
      status = 1;
    }
    deck.Signal(SIGTERM);
    if (deck.WaitForExit(kActMs) != 0) status = 1;
  }
  std::system(("rm -rf '" + folder + "'").c_str());
  return status;
}
