#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/hresult.h"
#include "platform/manual_reset_event.h"
#include "platform/thread_name.h"
#include "platform/thread_priority.h"

namespace vxr {
namespace {

// A bound for standard error to take a few lines; generous, it only ends a wait that would hang.
constexpr int kFlushMs = 10000;

TEST(HresultTest, Win32ErrorsTakeTheSystemFacility) {
  EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), 0x80070002u);
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_BUSY)), 0x800700AAu);
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_ALREADY_ASSIGNED)), 0x80070055u);
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(WAIT_TIMEOUT)), 0x80070102u);
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_BAD_DEVICE)), 0x800704B0u);
  // Only the low 16 bits of the error number survive.
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(0x12345)), 0x80072345u);
  EXPECT_TRUE(FAILED(E_POINTER));
  EXPECT_TRUE(SUCCEEDED(S_OK));
}

TEST(ManualResetEventTest, StaysSignalledUntilReset) {
  ManualResetEvent event;
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(5));
}

TEST(ManualResetEventTest, WaitEndsWhenAnotherThreadSignals) {
  ManualResetEvent event;
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event.Set();
  });
  EXPECT_TRUE(event.Wait(ManualResetEvent::kInfinite));
  setter.join();
}

TEST(ManualResetEventTest, TimedWaitTimesOut) {
  ManualResetEvent event;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.Wait(30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(DiagnosticsTest, SinkReceivesTagAndExactText) {
  std::vector<std::pair<std::string, std::string>> seen;
  auto previous = SetDiagnosticSink(
      [&](std::string_view tag, std::string_view text) { seen.emplace_back(tag, text); });
  DebugOutput("Err LoadTape", "Not *.AVI or *.TML file\n");
  SetDiagnosticSink(previous);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, "Err LoadTape");
  EXPECT_EQ(seen[0].second, "Not *.AVI or *.TML file\n");
}

TEST(DiagnosticsTest, StandardErrorGetsTheTextWithALineBreak) {
  ASSERT_TRUE(FlushDiagnostics(kFlushMs));
  testing::internal::CaptureStderr();
  DebugOutput("Info X", "no line break");
  DebugOutput("Info X", "with one\n");
  EXPECT_TRUE(FlushDiagnostics(kFlushMs));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "no line break\nwith one\n");
}

// Standard error as a pipe that is full from the start: nothing the callers give can go.
class FullStderrPipe {
 public:
  FullStderrPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    read_fd_ = fds[0];
    saved_fd_ = ::dup(STDERR_FILENO);
    // Filled without blocking, then blocking again as a stderr is.
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string block(kFillBlock, '#');
    for (ssize_t n; (n = ::write(fds[1], block.data(), block.size())) > 0;) {
      fill_left_ += static_cast<std::size_t>(n);
    }
    ::fcntl(fds[1], F_SETFL, 0);
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[1]);
  }
  ~FullStderrPipe() {
    ::dup2(saved_fd_, STDERR_FILENO);
    ::close(saved_fd_);
    ::close(read_fd_);
  }
  bool ok() const { return read_fd_ >= 0 && saved_fd_ >= 0 && fill_left_ > 0; }
  // Reads until what has come or the pipe has been idle for timeout_ms; what came after the
  // filling.
  std::string ReadUntil(const std::string& what, int timeout_ms) {
    std::string text;
    char buffer[kFillBlock];
    pollfd poll_fd{read_fd_, POLLIN, 0};
    while (text.find(what) == std::string::npos && ::poll(&poll_fd, 1, timeout_ms) > 0) {
      const ssize_t n = ::read(read_fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t skipped = std::min(text.size(), fill_left_);
    fill_left_ -= skipped;
    return text.substr(skipped);
  }

 private:
  static constexpr std::size_t kFillBlock = 4096;
  int read_fd_ = -1;
  int saved_fd_ = -1;
  std::size_t fill_left_ = 0;  // bytes of the filling not read yet
};

TEST(DiagnosticsTest, AStderrThatTakesNothingNeverHoldsTheCallerAndDroppedLinesAreCounted) {
  ASSERT_TRUE(FlushDiagnostics(kFlushMs));
  FullStderrPipe pipe;
  ASSERT_TRUE(pipe.ok());
  // Far more lines than wait their turn, from another thread: every call returns although not
  // one byte can be written (the bound only catches a caller that is held for good).
  constexpr int kLines = 4 * kMaxQueuedDiagnosticLines;
  auto calls = std::async(std::launch::async, [] {
    for (int i = 0; i < kLines; ++i) DebugOutput("Info X", "line " + std::to_string(i));
  });
  ASSERT_EQ(calls.wait_for(std::chrono::milliseconds(kFlushMs)), std::future_status::ready);
  EXPECT_FALSE(FlushDiagnostics(0));

  // Once the pipe is read the lines that were kept come out in order, each run of them followed
  // by how many were not; then lines go out as usual.
  auto reading =
      std::async(std::launch::async, [&] { return pipe.ReadUntil("after\n", kFlushMs); });
  ASSERT_TRUE(FlushDiagnostics(kFlushMs));
  DebugOutput("Info X", "after");
  const std::string text = reading.get();
  std::istringstream lines(text);
  std::string line;
  int kept = 0, next = 0;
  unsigned long long dropped = 0, summary = 0;
  while (std::getline(lines, line) && line != "after") {
    if (std::sscanf(line.c_str(), "diagnostics: %llu lines dropped", &summary) == 1) {
      dropped += summary;
      continue;
    }
    int number = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "line %d", &number), 1) << line;
    EXPECT_GE(number, next);
    next = number + 1;
    ++kept;
  }
  EXPECT_EQ(line, "after");
  EXPECT_GT(dropped, 0u) << text;
  EXPECT_EQ(kept + static_cast<int>(dropped), kLines) << text;
  // The lines the writer had taken before it stalled, and those queued behind them.
  EXPECT_LE(kept, 2 * kMaxQueuedDiagnosticLines);
}

TEST(ThreadNameTest, NamesTheCallingThreadAndCutsAtTheKernelsLimit) {
  std::string seen;
  std::thread([&] {
    SetCurrentThreadName("board output clock");
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    seen = name;
  }).join();
  EXPECT_EQ(seen, "board output cl");
}

TEST(ThreadPriorityTest, RealTimeIsAskedForUpToTheLimitAndCodecWorkIsNicer) {
  struct Case {
    ThreadPriority priority;
    long rt_limit;
    int process_nice;
    bool real_time;
    int fifo_priority;  // when real_time
    int nice_value;     // when not
  };
  const Case cases[] = {
      // No limit, or one above what the deck asks for: the receiver above the player.
      {ThreadPriority::kTimeCritical, -1, 0, true, kReceiverFifoPriority, 0},
      {ThreadPriority::kTimeCritical, 99, 0, true, kReceiverFifoPriority, 0},
      {ThreadPriority::kAboveNormal, 99, 0, true, kPlayerFifoPriority, 0},
      // A lower limit: the receiver at the limit; the player only when still below it.
      {ThreadPriority::kTimeCritical, 20, 0, true, 20, 0},
      {ThreadPriority::kAboveNormal, 20, 0, true, kPlayerFifoPriority, 0},
      {ThreadPriority::kTimeCritical, 1, 0, true, 1, 0},
      {ThreadPriority::kAboveNormal, 1, 0, false, 0, -2},
      // None at all: nice values.
      {ThreadPriority::kTimeCritical, 0, 0, false, 0, -15},
      {ThreadPriority::kAboveNormal, 0, 0, false, 0, -2},
      // Codec work: never real time, nicer than the process, up to the nicest there is.
      {ThreadPriority::kCodec, -1, 0, false, 0, kCodecNiceStep},
      {ThreadPriority::kCodec, 99, 3, false, 0, 3 + kCodecNiceStep},
      {ThreadPriority::kCodec, 0, 17, false, 0, 19},
      // An output's sender started by codec work: the process's own, never real time.
      {ThreadPriority::kOutput, -1, 3, false, 0, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "priority " << static_cast<int>(c.priority) << ", limit "
                                      << c.rt_limit << ", nice " << c.process_nice);
    const PriorityRequest request = PlanThreadPriority(c.priority, c.rt_limit, c.process_nice);
    EXPECT_EQ(request.real_time, c.real_time);
    EXPECT_EQ(c.real_time ? request.fifo_priority : request.nice_value,
              c.real_time ? c.fifo_priority : c.nice_value);
  }
}

// The calling thread's nice value as the kernel reports it (field 19 of its stat line).
int ThreadNice() {
  const auto tid = static_cast<long>(::syscall(SYS_gettid));
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(in, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));  // from field 3 on
  constexpr int kNiceField = 19;
  constexpr int kFirstField = 3;
  std::string field;
  for (int i = kFirstField; i <= kNiceField; ++i) fields >> field;
  return std::stoi(field);
}

TEST(ThreadPriorityTest, ACodecThreadIsNicerThanTheProcessAndTheThreadsItStartsInheritIt) {
  const int process_nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
  const int expected = PlanThreadPriority(ThreadPriority::kCodec, 0, process_nice).nice_value;
  int codec_nice = 0, worker_nice = 0;
  int sender_nice = 0;
  bool sender_granted = false;
  bool granted = false;
  std::thread([&] {
    granted = SetCurrentThreadPriority(ThreadPriority::kCodec, "codec");
    codec_nice = ThreadNice();
    // As FFmpeg starts its workers from the thread that opens the codec.
    std::thread([&] { worker_nice = ThreadNice(); }).join();
    std::thread([&] {
      sender_granted = SetCurrentThreadPriority(ThreadPriority::kOutput, "sender");
      sender_nice = ThreadNice();
    }).join();
  }).join();
  EXPECT_TRUE(granted);
  EXPECT_EQ(codec_nice, expected);
  EXPECT_EQ(worker_nice, expected);
  EXPECT_EQ(ThreadNice(), process_nice);  // the caller's own thread is untouched
  // An output's sender started from codec work gets the deck's own nice value back where the
  // system lets a thread raise its priority again (RLIMIT_NICE), else it stays as it was.
  EXPECT_EQ(sender_nice, sender_granted ? process_nice : expected);
}

}  // namespace
}  // namespace vxr
