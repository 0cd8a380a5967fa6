#include "protocol/control_port.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/manual_reset_event.h"
#include "protocol/frame.h"
#include "testing/controller_line.h"
#include "testing/pty_pair.h"

namespace vxr {
namespace {

using testing::PtyPair;
using Bytes = PtyPair::Bytes;
using Clock = std::chrono::steady_clock;

constexpr HRESULT kBusy = static_cast<HRESULT>(0x800700AAu);
constexpr HRESULT kAlreadyAssigned = static_cast<HRESULT>(0x80070055u);
constexpr HRESULT kNoSuchPort = static_cast<HRESULT>(0x80070002u);
constexpr HRESULT kPortHeld = static_cast<HRESULT>(0x80070005u);
constexpr HRESULT kStopTimedOut = static_cast<HRESULT>(0x80070102u);

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Answers every frame with 7N, its own CMD-2 and its own data, so each reply names its frame,
// and records the frames. Can be told to hold a frame until released.
class EchoHandler : public IFrameHandler {
 public:
  const std::uint8_t* ProcessCommand(const std::uint8_t* frame, int length) override {
    {
      std::lock_guard lock(mutex_);
      frames_.emplace_back(frame, frame + length);
    }
    entered_.Set();
    if (hold_.load()) release_.Wait(ManualResetEvent::kInfinite);
    BuildReply(0x70, frame[1], frame + 2, length - 3, reply_, kMaxFrameSize);
    return reply_;
  }

  std::vector<Bytes> Frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }

  void HoldFrames() { hold_.store(true); }
  void Release() { release_.Set(); }
  bool WaitEntered(int ms) { return entered_.Wait(ms); }

 private:
  mutable std::mutex mutex_;  // guards frames_
  std::vector<Bytes> frames_;
  std::uint8_t reply_[kMaxFrameSize] = {};
  std::atomic<bool> hold_{false};
  ManualResetEvent release_;
  ManualResetEvent entered_;
};

Bytes WithChecksum(Bytes frame) {
  frame.push_back(
      static_cast<std::uint8_t>(Checksum(frame.data(), static_cast<int>(frame.size()))));
  return frame;
}

// The echo reply to a frame.
Bytes EchoOf(const Bytes& frame) {
  Bytes reply(kMaxFrameSize);
  BuildReply(0x70, frame[1], frame.data() + 2, static_cast<int>(frame.size()) - 3, reply.data(),
             kMaxFrameSize);
  reply.resize(frame.size());
  return reply;
}

bool WaitUntil(const std::function<bool()>& condition, int timeout_ms) {
  const auto start = Clock::now();
  while (!condition()) {
    if (MillisecondsSince(start) > timeout_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Collects the diagnostics reported while it lives.
class DiagnosticCapture {
 public:
  DiagnosticCapture() {
    SetDiagnosticSink([this](std::string_view tag, std::string_view text) {
      std::lock_guard lock(mutex_);
      lines_.push_back(std::string(tag) + ": " + std::string(text));
    });
  }
  ~DiagnosticCapture() { SetDiagnosticSink({}); }
  int Count(const std::string& part) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& line : lines_) n += line.find(part) != std::string::npos ? 1 : 0;
    return n;
  }

 private:
  mutable std::mutex mutex_;  // guards lines_
  std::vector<std::string> lines_;
};

class ControlPortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty_.ok()); }

  void Start() {
    ASSERT_EQ(port_.StartReceiver(&handler_, pty_.SlavePath().c_str()), 0);
    ASSERT_TRUE(WaitUntil([this] { return port_.IsRunning(); }, 5000));
  }

  PtyPair pty_;
  EchoHandler handler_;
  CControlPort port_;
};

// --- Starting and stopping ---

TEST_F(ControlPortTest, StartCodesFollowTheServiceState) {
  EXPECT_EQ(port_.StartReceiver(nullptr, pty_.SlavePath().c_str()), E_POINTER);
  EXPECT_EQ(port_.StartReceiver(&handler_, nullptr), E_POINTER);
  EXPECT_EQ(port_.StartReceiver(&handler_, ""), E_POINTER);
  EXPECT_EQ(port_.StartReceiver(&handler_, "/dev/vxr-no-such-port"), kNoSuchPort);
  EXPECT_FALSE(port_.IsThreadActive());
  // A failed start leaves the service idle: a good port still starts it.
  Start();
  EXPECT_TRUE(port_.IsThreadActive());
  EXPECT_EQ(port_.StartReceiver(&handler_, pty_.SlavePath().c_str()), kAlreadyAssigned);
  EXPECT_EQ(port_.StopReceiver(), 0);
  EXPECT_FALSE(port_.IsThreadActive());
  EXPECT_EQ(port_.StartReceiver(&handler_, pty_.SlavePath().c_str()), kAlreadyAssigned);
  EXPECT_EQ(port_.StopReceiver(), 0);
}

TEST_F(ControlPortTest, PortHeldByAnotherServiceIsRefused) {
  Start();
  CControlPort other;
  EXPECT_EQ(other.StartReceiver(&handler_, pty_.SlavePath().c_str()), kPortHeld);
  EXPECT_FALSE(other.IsThreadActive());
}

TEST_F(ControlPortTest, StopWithoutAStartReturnsZero) { EXPECT_EQ(port_.StopReceiver(), 0); }

TEST_F(ControlPortTest, StopEndsABlockedReadPromptly) {
  Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the receiver waits for a head
  const auto start = Clock::now();
  EXPECT_EQ(port_.StopReceiver(), 0);
  EXPECT_LT(MillisecondsSince(start), 1000);
  EXPECT_FALSE(port_.IsThreadActive());
  // Nothing is answered after the stop.
  ASSERT_TRUE(pty_.Write({0x20, 0x01, 0x21}));
  EXPECT_TRUE(pty_.Read(1, 100).empty());
}

TEST(ControlPortRace, StopRightAfterStartAlwaysEndsTheThread) {
  // The stop lands anywhere from before the thread runs to inside its first read.
  EchoHandler handler;
  for (int i = 0; i < 100; ++i) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    CControlPort port;
    ASSERT_EQ(port.StartReceiver(&handler, pty.SlavePath().c_str()), 0);
    if (i % 4 == 1) std::this_thread::yield();
    if (i % 4 == 2) std::this_thread::sleep_for(std::chrono::microseconds(200 * (i % 7)));
    const auto start = Clock::now();
    ASSERT_EQ(port.StopReceiver(), 0) << "round " << i;
    ASSERT_LT(MillisecondsSince(start), CControlPort::kStopWaitMs) << "round " << i;
    ASSERT_FALSE(port.IsThreadActive()) << "round " << i;
    // A service that was stopped, even before it served, is not started again.
    ASSERT_EQ(port.StartReceiver(&handler, pty.SlavePath().c_str()), kAlreadyAssigned);
  }
}

// A service whose thread cannot be created the first time.
class NoThreadControlPort : public CControlPort {
 public:
  int refusals = 1;

 protected:
  bool CreateReceiverThread(std::thread& thread, std::function<void()> body) override {
    if (refusals > 0) {
      --refusals;
      return false;
    }
    return CControlPort::CreateReceiverThread(thread, std::move(body));
  }
};

// A service whose receiver thread waits at its door until the test lets it in.
class GatedControlPort : public CControlPort {
 public:
  ManualResetEvent gate;

 protected:
  bool CreateReceiverThread(std::thread& thread, std::function<void()> body) override {
    return CControlPort::CreateReceiverThread(thread, [this, body = std::move(body)] {
      gate.Wait(ManualResetEvent::kInfinite);
      body();
    });
  }
};

TEST_F(ControlPortTest, StartWhileStartingIsBusyAndAStopThenStillEndsTheThread) {
  GatedControlPort port;
  ASSERT_EQ(port.StartReceiver(&handler_, pty_.SlavePath().c_str()), 0);
  EXPECT_EQ(port.StartReceiver(&handler_, pty_.SlavePath().c_str()), kBusy);
  // The thread has not run its first instruction, yet it counts as active.
  EXPECT_TRUE(port.IsThreadActive());
  EXPECT_FALSE(port.IsRunning());
  std::thread opener([&port] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    port.gate.Set();
  });
  EXPECT_EQ(port.StopReceiver(), 0);
  opener.join();
  EXPECT_FALSE(port.IsThreadActive());
  // It never served, and it is not started again.
  ASSERT_TRUE(pty_.Write({0x20, 0x01, 0x21}));
  EXPECT_TRUE(pty_.Read(1, 100).empty());
  EXPECT_EQ(port.StartReceiver(&handler_, pty_.SlavePath().c_str()), kAlreadyAssigned);
}

TEST_F(ControlPortTest, FailedThreadCreationClosesThePortAndAllowsALaterStart) {
  DiagnosticCapture diagnostics;
  NoThreadControlPort port;
  EXPECT_EQ(port.StartReceiver(&handler_, pty_.SlavePath().c_str()), E_OUTOFMEMORY);
  EXPECT_FALSE(port.IsThreadActive());
  EXPECT_EQ(diagnostics.Count("cannot be created"), 1);
  // The port was given back: someone else may take it, and give it back again.
  {
    CSerialLink other;
    EXPECT_EQ(other.OpenPort(pty_.SlavePath().c_str()), 0u);
  }
  ASSERT_EQ(port.StartReceiver(&handler_, pty_.SlavePath().c_str()), 0);
  ASSERT_TRUE(WaitUntil([&port] { return port.IsRunning(); }, 5000));
  ASSERT_TRUE(pty_.Write({0x20, 0x01, 0x21}));
  EXPECT_EQ(pty_.ReadFrame(2000), EchoOf({0x20, 0x01, 0x21}));
  EXPECT_EQ(port.StopReceiver(), 0);
}

TEST_F(ControlPortTest, OverrunStopLeavesTheDestructorWaitingForTheThread) {
  DiagnosticCapture diagnostics;
  auto port = std::make_unique<CControlPort>();
  handler_.HoldFrames();
  ASSERT_EQ(port->StartReceiver(&handler_, pty_.SlavePath().c_str()), 0);
  ASSERT_TRUE(WaitUntil([&port] { return port->IsRunning(); }, 5000));
  ASSERT_TRUE(pty_.Write({0x20, 0x01, 0x21}));
  ASSERT_TRUE(handler_.WaitEntered(5000));

  // The receiver is stuck in the handler: the stop gives up after its wait.
  EXPECT_EQ(port->StopReceiver(), kStopTimedOut);
  EXPECT_TRUE(port->IsThreadActive());

  std::atomic<bool> destroyed{false};
  std::thread destroyer([&port, &destroyed] {
    port.reset();
    destroyed = true;
  });
  // The destructor's own stop gives up too, reports it and goes on waiting.
  EXPECT_TRUE(WaitUntil([&diagnostics] { return diagnostics.Count("did not end") == 1; },
                        10 * CControlPort::kStopWaitMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(destroyed.load()) << "destroyed while its thread still ran";
  handler_.Release();
  destroyer.join();
  EXPECT_TRUE(destroyed.load());
  EXPECT_EQ(diagnostics.Count("did not end"), 1);
  // The held frame was the last one handled: a stopped receiver takes no more.
  EXPECT_EQ(handler_.Frames().size(), 1u);
}

// --- Framing ---

TEST_F(ControlPortTest, BytesSentBeforeTheStartAreNeverAnswered) {
  const Bytes early = {0x20, 0x00, 0x20, 0x61, 0x20, 0x0F, 0x90};
  ASSERT_TRUE(pty_.Write(early));
  // The bytes are on the deck's side of the line before the receiver starts.
  ASSERT_TRUE(WaitUntil(
      [this, &early] { return pty_.QueuedForDeck() == static_cast<int>(early.size()); }, 5000));
  Start();
  ASSERT_TRUE(pty_.Write({0x20, 0x01, 0x21}));
  EXPECT_EQ(pty_.ReadFrame(2000), EchoOf({0x20, 0x01, 0x21}));
  EXPECT_TRUE(pty_.Drain(100).empty());
  ASSERT_EQ(handler_.Frames().size(), 1u);
}

std::string ThreadNames() {
  std::string names;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    names += name + ";";
  }
  return names;
}

// The framing rules themselves are the framer's (framer_test.cpp); this is the loop around it
// on a real line: broken frames dropped once the line is quiet, then a stream at full speed.
TEST_F(ControlPortTest, BrokenFramesAreDroppedAndThousandsBackToBackAreAnsweredOnceEachInOrder) {
  DiagnosticCapture diagnostics;
  Start();
  EXPECT_NE(ThreadNames().find(std::string(CControlPort::kThreadName) + ";"), std::string::npos)
      << ThreadNames();
  // A head whose data never comes, and a frame cut short inside its data.
  ASSERT_TRUE(pty_.Write({0x6F, 0x00, 0x00}));
  ASSERT_TRUE(WaitUntil([this] { return port_.DroppedFrames() == 1; }, 5000));
  ASSERT_TRUE(pty_.Write({0x24, 0x31, 0x00, 0x10}));
  ASSERT_TRUE(WaitUntil([this] { return port_.DroppedFrames() == 2; }, 5000));
  EXPECT_TRUE(handler_.Frames().empty());
  EXPECT_EQ(port_.ReplyTimes().Count(), 0);

  constexpr int kFrames = 3000;
  std::vector<Bytes> frames;
  for (int i = 0; i < kFrames; ++i) {
    // Lengths from 3 to 18 bytes, each frame numbered in its data.
    const int n = i % 16;
    Bytes frame = {static_cast<std::uint8_t>(0x60 | n), static_cast<std::uint8_t>(i & 0x7F)};
    for (int k = 0; k < n; ++k)
      frame.push_back(static_cast<std::uint8_t>((i >> (k % 2 ? 8 : 0)) + k));
    frame = WithChecksum(frame);
    frames.push_back(frame);
  }
  // The controller streams without pause while it reads the replies.
  const std::vector<Bytes> replies = testing::ControllerLine(pty_).SendBackToBack(frames, 5000);
  ASSERT_EQ(replies.size(), frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(replies[i], EchoOf(frames[i])) << "reply " << i;
  }
  EXPECT_TRUE(pty_.Drain(100).empty());
  EXPECT_EQ(handler_.Frames(), frames);
  EXPECT_EQ(port_.DroppedFrames(), 2);
  // Every reply's time on the deck was taken, and the run's figures are reported at its end.
  const CLatencyRecord::Summary times = port_.ReplyTimes().Summarize();
  EXPECT_EQ(times.count, kFrames);
  EXPECT_GT(times.max.count(), 0);
  EXPECT_LE(times.p50, times.max);
  EXPECT_EQ(port_.StopReceiver(), 0);
  EXPECT_EQ(diagnostics.Count("3000 frames answered, 2 dropped unfinished"), 1);
}

// --- A line that hangs up ---

double ProcessCpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

TEST_F(ControlPortTest, HungUpLineIsReportedOncePacedAndStillStopsPromptly) {
  constexpr int kWatchMs = 800;
  DiagnosticCapture diagnostics;
  Start();
  pty_.HangUp();
  ASSERT_TRUE(
      WaitUntil([&diagnostics] { return diagnostics.Count("fails (error 31)") > 0; }, 5000));
  // Reading in a tight loop would burn the whole window; paced reads take next to nothing. The
  // window is the test's own: it sets how long the failing line is watched.
  const double cpu_before = ProcessCpuMilliseconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(kWatchMs));
  const double cpu_used = ProcessCpuMilliseconds() - cpu_before;
  EXPECT_EQ(diagnostics.Count("fails (error 31)"), 1);
  EXPECT_LT(cpu_used, kWatchMs / 2.0);
  EXPECT_TRUE(port_.IsThreadActive());
  const auto start = Clock::now();
  EXPECT_EQ(port_.StopReceiver(), 0);
  EXPECT_LT(MillisecondsSince(start), 1000);
  EXPECT_EQ(diagnostics.Count("fails (error 31)"), 1);
}

}  // namespace
}  // namespace vxr
