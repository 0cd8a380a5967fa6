// Lines that die under a serving deck: the controller's end closed in the middle of its
// traffic, a controller already sending when the deck starts serving (REMOTE pressed), a
// controller that is gone before the deck serves. The receiver must not spin on a dead line,
// must not hang, and must stop cleanly.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#include "reliability/deck_line_fixture.h"

namespace vxr {
namespace {

using testing::Bytes;
using testing::Clock;
using testing::MillisecondsSince;
using testing::WithChecksum;

std::set<int> ThreadIds() {
  std::set<int> ids;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(dir)) {
      const int id = std::atoi(entry->d_name);
      if (id > 0) ids.insert(id);
    }
    closedir(dir);
  }
  return ids;
}

// CPU time of one thread of this process, from the kernel's per-thread scheduler clock (the
// clock id that pthread_getcpuclockid would give for that thread); -1 when it cannot be read.
double ThreadCpuMilliseconds(int tid) {
  const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6);
  timespec used{};
  if (clock_gettime(clock, &used) != 0) return -1.0;
  return static_cast<double>(used.tv_sec) * 1e3 + static_cast<double>(used.tv_nsec) / 1e6;
}

class DyingLineTest : public testing::DeckLineTest {
 protected:
  // Starts serving and finds the receiver thread: the one thread that the start adds.
  void ServeAndFindReceiver() {
    const std::set<int> before = ThreadIds();
    ServeLine();
    for (int id : ThreadIds()) {
      if (before.count(id) == 0) receiver_tid_ = id;
    }
    ASSERT_NE(receiver_tid_, 0);
    ASSERT_GE(ThreadCpuMilliseconds(receiver_tid_), 0.0);
  }
  // The receiver's CPU time over ms milliseconds of wall time.
  double ReceiverCpuOver(int ms) {
    const double before = ThreadCpuMilliseconds(receiver_tid_);
    Sleep(ms);
    return ThreadCpuMilliseconds(receiver_tid_) - before;
  }
  void ExpectCleanStop() {
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(deck_->StopReceiver(), 0);
    EXPECT_LT(MillisecondsSince(start), 1000.0);
    EXPECT_EQ(deck_->IsReceiverStopped(), 1);
  }
  int LineFailureReports() {
    return log_.Count("Err ReceiveLoop", "Receiver: reading " + pty_.SlavePath() +
                                             " fails (error 31); retrying every 100 ms");
  }

  static constexpr int kReplyMs = 5000;
  int receiver_tid_ = 0;
};

TEST_F(DyingLineTest, QuietLineCostsTheReceiverNothing) {
  ASSERT_EQ(deck_->CreatePlayer(), 0);
  ASSERT_EQ(deck_->InsertTape(tape_), 0);
  ServeAndFindReceiver();
  const double cpu = ReceiverCpuOver(1000);
  std::printf("receiver CPU on a quiet line: %.2f ms in 1000 ms\n", cpu);
  EXPECT_LT(cpu, 20.0);
  ExpectCleanStop();
}

TEST_F(DyingLineTest, ControllerHangsUpMidTrafficAndTheReceiverWaitsWithoutSpinning) {
  ASSERT_EQ(deck_->CreatePlayer(), 0);
  ASSERT_EQ(deck_->InsertTape(tape_), 0);
  ServeAndFindReceiver();
  EXPECT_EQ(Send(kPlay), kAck);
  // Back-to-back requests, then the controller's end goes away without reading the replies.
  Bytes burst;
  for (int i = 0; i < 40; ++i) {
    const Bytes frame = WithChecksum({0x61, 0x0C, 0x01});
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  ASSERT_TRUE(pty_.Write(burst));
  pty_.HangUp();

  // The dead line fails every read at once; paced, the receiver takes next to nothing.
  ASSERT_TRUE(WaitFor([&] { return LineFailureReports() > 0; })) << log_.Dump();
  const double cpu = ReceiverCpuOver(1000);
  std::printf("receiver CPU on a hung-up line: %.2f ms in 1000 ms\n", cpu);
  EXPECT_LT(cpu, 100.0);
  EXPECT_EQ(LineFailureReports(), 1) << log_.Dump();
  EXPECT_EQ(deck_->IsReceiverStopped(), 0);

  // The deck itself lives on: the player still plays and the panel still reads the time.
  int hours = 0, minutes = 0, seconds = 0, frames = 0;
  ASSERT_EQ(deck_->GetTimeFields(&hours, &minutes, &seconds, &frames), 0);
  const int first = seconds * 25 + frames;
  EXPECT_TRUE(WaitFor([&] {
    deck_->GetTimeFields(&hours, &minutes, &seconds, &frames);
    return seconds * 25 + frames >= first + 10;
  }));
  ExpectCleanStop();
  EXPECT_EQ(LineFailureReports(), 1);
}

TEST_F(DyingLineTest, ControllerGoneBeforeTheStartLeavesTheServiceIdleForTheNextLine) {
  ASSERT_EQ(deck_->CreatePlayer(), 0);
  pty_.HangUp();
  // The start reports the port's error (the terminal is gone); the service stays idle and may
  // be started again on another line.
  EXPECT_EQ(deck_->StartReceiver(pty_.SlavePath().c_str()),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(deck_->IsReceiverStopped(), 1);

  testing::PtyPair next;
  ASSERT_TRUE(next.ok());
  ASSERT_EQ(deck_->StartReceiver(next.SlavePath().c_str()), 0);
  EXPECT_TRUE(WaitFor([&] {
    next.Write(WithChecksum({0x00, 0x11}));
    return next.ReadFrame(200) == Bytes{0x12, 0x11, 0x21, 0x50, 0x94};
  }));
  EXPECT_EQ(deck_->StopReceiver(), 0);
}

TEST_F(DyingLineTest, RemotePressedWhileAControllerSendsIsServedFromTheNextWholeFrame) {
  ASSERT_EQ(deck_->CreatePlayer(), 0);
  ASSERT_EQ(deck_->InsertTape(tape_), 0);
  // The controller is already sending status requests back to back when the deck starts
  // serving; the start purges what came before, and may meet a frame half-way.
  std::atomic<bool> sending{true};
  std::atomic<int> sent{0};
  std::thread controller;
  // Stops and joins the controller's thread on every way out of the test.
  const testing::ThreadJoiner joiner(sending, controller);
  controller = std::thread([&] {
    const Bytes frame = WithChecksum({0x61, 0x20, 0x01});
    while (sending.load()) {
      pty_.Write(frame);
      sent.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  ASSERT_TRUE(WaitFor([&] { return sent.load() > 0; }));
  ASSERT_EQ(deck_->StartReceiver(pty_.SlavePath().c_str()), 0);
  // The controller goes on sending until the deck's first reply reaches it.
  ASSERT_TRUE(WaitFor([&] {
    pollfd reply{pty_.ControllerFd(), POLLIN, 0};
    return ::poll(&reply, 1, 0) == 1;
  }));
  joiner.Join();

  // Every reply that came is one frame the deck's set allows: the status reply, or the NAK of
  // a frame taken up half-way. The replies end where the reply to a last device type request
  // comes, however late the deck answers.
  ASSERT_TRUE(pty_.Write(WithChecksum({0x00, 0x11})));
  const Bytes kDeviceType = {0x12, 0x11, 0x21, 0x50, 0x94};
  int answered = 0;
  for (Bytes reply = pty_.ReadFrame(kReplyMs); reply != kDeviceType;
       reply = pty_.ReadFrame(kReplyMs)) {
    ASSERT_GE(reply.size(), 3u) << "the replies stopped before the last one";
    ASSERT_EQ(reply.size(), static_cast<std::size_t>((reply[0] & 0x0F) + 3));
    EXPECT_TRUE((reply[0] == 0x71 && reply[1] == 0x20) || (reply[0] == 0x11 && reply[1] == 0x12))
        << "reply " << std::hex << int(reply[0]) << " " << int(reply[1]);
    EXPECT_EQ(reply.back(),
              static_cast<std::uint8_t>(Checksum(reply.data(), int(reply.size()) - 1)));
    ++answered;
  }
  std::printf("controller sent %d frames around the start; %d answered\n", sent.load(), answered);
  EXPECT_GT(answered, 0);
  EXPECT_LE(answered, sent.load());
  // From here on, one frame, one reply.
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Send({0x00, 0x11}), (Bytes{0x12, 0x11, 0x21, 0x50, 0x94}));
  }
  EXPECT_TRUE(pty_.Drain(30).empty());
  ExpectCleanStop();
}

}  // namespace
}  // namespace vxr
