// The sound output through a real sound server: a PulseAudio of the test's own with a null sink,
// the tape's sound played into it and read back from the sink's monitor. A program of its own,
// so that Qt's sound backend meets the server when it first starts.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sinks/qt/sound_output.h"
#include "testing/media/test_tapes.h"
#include "testing/offscreen_screens.h"
#include "testing/wait_for.h"
#include "vboard/media/movie_sound.h"
#include "vboard/program/tape_sound.h"
#include "vboard/server/super_clip.h"

extern char** environ;

namespace vxr {
namespace {

constexpr const char* kSinkName = "vxrtest";
constexpr int kWaitMs = 20000;
constexpr int kTapeSeconds = 4;
constexpr int kTickSamples = 1920;  // 48 kHz at 25 frames a second
constexpr int kLoud = 8000;         // well above silence, well below the burst's 16000
constexpr int kBurstSamples = 480;  // the tape's bursts: 10 ms of 1 kHz each second
constexpr double kToneHz = 1000.0;
constexpr double kScanFromHz = 200.0;  // the frequencies searched for the loudest
constexpr double kScanToHz = 4000.0;
constexpr double kScanStepHz = 10.0;
constexpr double kToleranceHz = 50.0;

// The program's path on PATH; empty when it is not installed.
std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    const std::string candidate = folder + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// A child process with the test's environment, its output into a file; ended and reaped when
// the object goes, and ended by the system if the test dies first.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& output) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const std::string errors = output + ".err";
    pid_ = ::fork();
    if (pid_ != 0) return;
    // Only calls that are safe between fork and exec in a process with threads.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0) {
      ::_exit(127);
    }
    ::execve(argv[0], argv.data(), environ);
    ::_exit(127);
  }
  ~Child() { End(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return pid_ > 0; }
  void End() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// The power of the frequency in samples (Goertzel).
double PowerAt(const std::vector<double>& samples, double hz) {
  const double coefficient = 2.0 * std::cos(2.0 * M_PI * hz / kProgramSoundRate);
  double previous = 0.0, before = 0.0;
  for (double sample : samples) {
    const double now = sample + coefficient * previous - before;
    before = previous;
    previous = now;
  }
  return previous * previous + before * before - coefficient * previous * before;
}

// The loudest frequency of the first burst in interleaved stereo sound; 0 when none is there.
double BurstFrequency(const std::vector<std::int16_t>& sound) {
  std::size_t start = 0;
  while (start < sound.size() && std::abs(sound[start]) < kLoud) start += 2;
  if (start + 2 * kBurstSamples > sound.size()) return 0.0;
  std::vector<double> left;
  for (int i = 0; i < kBurstSamples * 3 / 4; ++i) left.push_back(sound[start + 2 * i]);
  double best_hz = 0.0, best_power = 0.0;
  for (double hz = kScanFromHz; hz <= kScanToHz; hz += kScanStepHz) {
    const double power = PowerAt(left, hz);
    if (power > best_power) best_power = power, best_hz = hz;
  }
  return best_hz;
}

// A tape with a tone burst each second plays through the deck's sound output on a PulseAudio
// null sink; the sink's monitor gives the tone back at its frequency, both channels.
TEST(SoundServer, ATapesTonePlaysThroughAPulseAudioNullSink) {
  const std::string server = FindProgram("pulseaudio");
  const std::string recorder = FindProgram("parec");
  if (server.empty() || recorder.empty()) {
    GTEST_SKIP() << "PulseAudio (pulseaudio, pulseaudio-utils) is not installed";
  }
  testing::TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  // The server and its clients find one another in the folder only.
  const std::string socket = folder.File("native");
  ::setenv("HOME", folder.path().c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", folder.path().c_str(), 1);
  ::setenv("PULSE_RUNTIME_PATH", folder.path().c_str(), 1);
  ::setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
  Child pulse({server, "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
               "--disable-shm=yes", "-L",
               std::string("module-null-sink sink_name=") + kSinkName + " rate=48000 channels=2",
               "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + socket},
              folder.File("pulseaudio.log"));
  ASSERT_TRUE(pulse.Started());
  struct stat info {};
  ASSERT_TRUE(testing::WaitFor([&] { return ::stat(socket.c_str(), &info) == 0; }, kWaitMs, 10))
      << testing::ReadFileBytes(folder.File("pulseaudio.log.err"));

  testing::TwoScreenApplication();
  std::ostringstream errors;
  QAudioDevice device;
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        for (const QAudioDevice& d : SoundDevices()) {
          if (d.id() == kSinkName) device = d;
        }
        return !device.isNull();
      },
      kWaitMs, 10))
      << "the null sink is not among Qt's devices";

  TapeSpec spec = testing::SmallTape(kTapeSeconds);
  spec.tone_bursts = true;
  std::string error;
  const std::string movie = testing::MakeTestTape(folder, "tone.avi", spec, &error);
  ASSERT_FALSE(movie.empty()) << error;
  CSuperClip tape(25.0);
  ASSERT_EQ(tape.AddProject(folder.WriteFile("tone.tml", "tone.avi\n")), S_OK);

  const std::string captured = folder.File("monitor.raw");
  Child monitor({recorder, "-d", std::string(kSinkName) + ".monitor", "--raw", "--format=s16le",
                 "--rate=48000", "--channels=2"},
                captured);
  ASSERT_TRUE(monitor.Started());

  auto clock = std::make_shared<CSteadyClock>();
  CSoundOutput sound(OutputFormat{}, clock);
  ASSERT_TRUE(sound.Open(device, &error)) << error;
  // The tape's sound tick by tick at the output's pace, as the program hands it out.
  std::map<std::string, std::unique_ptr<CMovieSound>> movies;
  auto next = std::chrono::steady_clock::now();
  for (std::int64_t tick = 0; tick < kTapeSeconds * 25 - 5; ++tick) {
    auto frame = std::make_shared<ProgramFrame>();
    frame->tick = tick;
    frame->steady_ns = clock->NowNs();
    frame->sound.resize(2 * kTickSamples);
    ASSERT_TRUE(CTapeSound::ReadTape(tape, &movies, tick * kTickSamples, kTickSamples,
                                     frame->sound.data()));
    sound.Push(frame);
    next += std::chrono::milliseconds(40);
    std::this_thread::sleep_until(next);
  }
  // The monitor has a burst once the file holds a whole one.
  std::vector<std::int16_t> heard;
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        const std::string bytes = testing::ReadFileBytes(captured);
        heard.assign(bytes.size() / sizeof(std::int16_t), 0);
        std::memcpy(heard.data(), bytes.data(), heard.size() * sizeof(std::int16_t));
        return BurstFrequency(heard) > 0.0;
      },
      kWaitMs, 20))
      << "the sink's monitor got " << heard.size() / 2 << " samples without a whole burst";
  monitor.End();
  EXPECT_NEAR(BurstFrequency(heard), kToneHz, kToleranceHz);
  std::vector<std::int16_t> right(heard.begin() + 1, heard.end());
  EXPECT_NEAR(BurstFrequency(right), kToneHz, kToleranceHz);
  EXPECT_TRUE(sound.counts().device_open);
  EXPECT_EQ(sound.counts().device_losses, 0);
}

}  // namespace
}  // namespace vxr
