#include "protocol/serial_link.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/hresult.h"
#include "testing/pty_pair.h"
#include "testing/wait_for.h"

namespace vxr {
namespace {

using testing::PtyPair;
using Bytes = PtyPair::Bytes;
using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A link opened on the deck's side of a fresh pty pair.
class SerialLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    ASSERT_EQ(link_.OpenPort(pty_.SlavePath().c_str()), 0u);
  }

  PtyPair pty_;
  CSerialLink link_;
};

// --- Port names and opening ---

TEST(SerialLinkNames, PortNamesMapToDevices) {
  EXPECT_EQ(CSerialLink::DevicePath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(CSerialLink::DevicePath("com12"), "/dev/ttyS11");
  EXPECT_EQ(CSerialLink::DevicePath("Com256"), "/dev/ttyS255");
  EXPECT_EQ(CSerialLink::DevicePath(nullptr), "/dev/ttyS1");  // COM2 when no name is given
  EXPECT_EQ(CSerialLink::DevicePath("/dev/pts/7"), "/dev/pts/7");
  EXPECT_EQ(CSerialLink::DevicePath("ttyUSB0"), "/dev/ttyUSB0");
  // Out of range or not a number: looked up under /dev/ as written.
  EXPECT_EQ(CSerialLink::DevicePath("COM257"), "/dev/COM257");
  EXPECT_EQ(CSerialLink::DevicePath("COM0"), "/dev/COM0");
  EXPECT_EQ(CSerialLink::DevicePath("COM1x"), "/dev/COM1x");
  EXPECT_EQ(CSerialLink::DevicePath("COM"), "/dev/COM");
  EXPECT_EQ(CSerialLink::DevicePath(""), "");
}

TEST(SerialLinkNames, ErrnoMapsToWindowsErrors) {
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Win32ErrorFromErrno(ENXIO), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Win32ErrorFromErrno(EBUSY), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Win32ErrorFromErrno(EWOULDBLOCK), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Win32ErrorFromErrno(ENOTTY), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(Win32ErrorFromErrno(EIO), ERROR_GEN_FAILURE);
}

TEST(SerialLinkOpen, MissingEmptyAndNonTerminalPortsAreRefused) {
  CSerialLink link;
  EXPECT_EQ(link.OpenPort("/dev/vxr-no-such-port"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(link.OpenPort(""), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(link.IsOpen());
  // A character device that is not a terminal, and a plain file: refused before being touched.
  EXPECT_EQ(link.OpenPort("/dev/null"), ERROR_INVALID_FUNCTION);
  char path[] = "/tmp/vxr-serial-link-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(link.OpenPort(path), ERROR_INVALID_FUNCTION);
  // The refused file was not left locked.
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  close(fd);
  unlink(path);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(link.CancelRead(), -1);
}

TEST_F(SerialLinkTest, SecondOpenerIsRefusedUntilThePortIsGivenUp) {
  CSerialLink other;
  EXPECT_EQ(other.OpenPort(pty_.SlavePath().c_str()), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(other.IsOpen());
  // Opening again on an open link gives the old port up first.
  EXPECT_EQ(link_.OpenPort(pty_.SlavePath().c_str()), 0u);
  link_.ClosePort();
  EXPECT_EQ(other.OpenPort(pty_.SlavePath().c_str()), 0u);
  // The loser of the race did not clear the winner's exclusive mode: still refused.
  CSerialLink third;
  EXPECT_EQ(third.OpenPort(pty_.SlavePath().c_str()), ERROR_ACCESS_DENIED);
}

// --- Reading ---

TEST_F(SerialLinkTest, ReadTakesNoMoreThanAskedAndKeepsTheRest) {
  ASSERT_TRUE(pty_.Write({0x20, 0x01, 0x21, 0x61, 0x20, 0x0F}));
  std::uint8_t buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), 0xA5);
  ASSERT_EQ(link_.ReadBytes(buffer, 3), 3);
  EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0x20, 0x01, 0x21}));
  for (int i = 3; i < 8; ++i) EXPECT_EQ(buffer[i], 0xA5) << "written past the count at " << i;
  ASSERT_EQ(link_.ReadBytes(buffer, 3), 3);
  EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0x61, 0x20, 0x0F}));
}

TEST_F(SerialLinkTest, QuietLineEndsAReadWithWhatArrived) {
  // Two bytes of four, then nothing: the read ends on the quiet with the two.
  ASSERT_TRUE(pty_.Write({0x11, 0x22}));
  std::uint8_t buffer[4] = {};
  EXPECT_EQ(link_.ReadBytes(buffer, 4), 2);
  EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{0x11, 0x22}));
  EXPECT_FALSE(link_.ReadFailed());
  // What comes after the quiet is the next read's.
  ASSERT_TRUE(pty_.Write({0x33, 0x44}));
  EXPECT_EQ(link_.ReadBytes(buffer, 2), 2);
  EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{0x33, 0x44}));
}

TEST_F(SerialLinkTest, ReadWaitsForItsFirstByteThenTakesAFrameThatFollowsClosely) {
  std::thread controller([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pty_.Write({1, 2, 3, 4});
  });
  std::uint8_t buffer[4] = {};
  EXPECT_EQ(link_.ReadBytes(buffer, 4), 4);
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{1, 2, 3, 4}));
  controller.join();
}

TEST_F(SerialLinkTest, BoundedReadGivesUpWithoutAFirstByte) {
  std::uint8_t buffer[3] = {};
  const auto start = Clock::now();
  EXPECT_EQ(link_.ReadBytesWithin(buffer, 3, 50), 0);
  EXPECT_GE(MillisecondsSince(start), 45);
  EXPECT_FALSE(link_.ReadFailed());
  ASSERT_TRUE(pty_.Write({7, 8, 9}));
  EXPECT_EQ(link_.ReadBytesWithin(buffer, 3, 1000), 3);
  EXPECT_EQ(buffer[2], 9);
}

TEST_F(SerialLinkTest, PurgeDiscardsWhatWasNotYetRead) {
  ASSERT_TRUE(pty_.Write({0xDE, 0xAD, 0xBE, 0xEF}));
  ASSERT_TRUE(testing::WaitFor([this] { return pty_.QueuedForDeck() == 4; }, 5000));
  link_.PurgeInput();
  ASSERT_TRUE(pty_.Write({0x20, 0x00, 0x20}));
  std::uint8_t buffer[3] = {};
  ASSERT_EQ(link_.ReadBytes(buffer, 3), 3);
  EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0x20, 0x00, 0x20}));
}

TEST_F(SerialLinkTest, HungUpLineFailsReadsAtOnce) {
  pty_.HangUp();
  std::uint8_t buffer[3] = {};
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    EXPECT_EQ(link_.ReadBytes(buffer, 3), 0);
    EXPECT_TRUE(link_.ReadFailed());
    EXPECT_EQ(link_.LastReadError(), ERROR_GEN_FAILURE);
    EXPECT_LT(MillisecondsSince(start), 1000);
  }
  EXPECT_LT(link_.WriteBytes(buffer, 3), 0);
}

// --- Cancelling ---

TEST_F(SerialLinkTest, CancelWithoutAReadReturnsAtOnce) {
  const auto start = Clock::now();
  EXPECT_EQ(link_.CancelRead(), 1);
  EXPECT_LT(MillisecondsSince(start), 500);
}

TEST_F(SerialLinkTest, CancelWakesABlockedRead) {
  std::atomic<int> result{-1};
  std::thread reader([this, &result] {
    std::uint8_t buffer[3];
    result = link_.ReadBytes(buffer, 3);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(result.load(), -1);  // still blocked: nothing was sent
  const auto start = Clock::now();
  EXPECT_EQ(link_.CancelRead(), 1);
  reader.join();
  EXPECT_LT(MillisecondsSince(start), 1000);
  EXPECT_EQ(result.load(), 0);
  EXPECT_FALSE(link_.ReadFailed());
}

TEST_F(SerialLinkTest, CancelBeforeTheReadStartsIsNotLost) {
  // The stop arrives while the reader is between deciding to read and waiting: the read that
  // follows must still end at once, even with bytes waiting.
  ASSERT_TRUE(pty_.Write({0x20, 0x01, 0x21}));
  EXPECT_EQ(link_.CancelRead(), 1);
  std::uint8_t buffer[3] = {};
  const auto start = Clock::now();
  EXPECT_EQ(link_.ReadBytes(buffer, 3), 0);
  EXPECT_EQ(link_.ReadBytesWithin(buffer, 3, 5000), 0);
  EXPECT_TRUE(link_.WaitForCancel(5000));
  EXPECT_LT(MillisecondsSince(start), 1000);
  // A fresh open clears the cancel.
  ASSERT_EQ(link_.OpenPort(pty_.SlavePath().c_str()), 0u);
  EXPECT_FALSE(link_.IsCancelled());
  EXPECT_FALSE(link_.WaitForCancel(20));
  ASSERT_TRUE(pty_.Write({0x20, 0x00, 0x20}));
  EXPECT_EQ(link_.ReadBytes(buffer, 3), 3);
}

// --- Writing ---

TEST_F(SerialLinkTest, WriteHandsTheWholeReplyToTheLine) {
  const std::uint8_t reply[] = {0x74, 0x04, 0x00, 0x10, 0x00, 0x00, 0x88};
  EXPECT_EQ(link_.WriteBytes(reply, 7), 7);
  EXPECT_EQ(pty_.ReadFrame(1000), Bytes(std::begin(reply), std::end(reply)));
}

TEST_F(SerialLinkTest, WritesFromTwoThreadsNeverInterleave) {
  constexpr int kFrames = 400;
  std::atomic<int> failed_writes{0};
  auto writer = [this, &failed_writes](std::uint8_t fill) {
    std::uint8_t frame[18];
    std::fill(std::begin(frame), std::end(frame), fill);
    frame[0] = 0x7F;
    for (int i = 0; i < kFrames; ++i) {
      if (link_.WriteBytes(frame, 18) != 18) ++failed_writes;
    }
  };
  std::thread a(writer, 0xAA);
  std::thread b(writer, 0xBB);
  // A slow reader keeps the driver's buffer full, so the driver takes writes in pieces.
  Bytes all;
  while (all.size() < 2u * kFrames * 18) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const Bytes more = pty_.Read(18 * 4, 2000);
    if (more.empty()) break;
    all.insert(all.end(), more.begin(), more.end());
  }
  a.join();
  b.join();
  EXPECT_EQ(failed_writes.load(), 0);
  ASSERT_EQ(all.size(), 2u * kFrames * 18);
  for (std::size_t f = 0; f < all.size(); f += 18) {
    ASSERT_EQ(all[f], 0x7F) << "frame " << f / 18;
    for (std::size_t i = 2; i < 18; ++i) ASSERT_EQ(all[f + i], all[f + 1]) << "frame " << f / 18;
  }
}

TEST_F(SerialLinkTest, WriteToAControllerThatNeverReadsGivesUpInTime) {
  // Fill the line until the driver will not take a reply within the write time-out.
  const std::uint8_t frame[18] = {0x7F};
  int result = 18;
  int writes = 0;
  Clock::time_point start;
  while (result == 18 && writes < 1000000) {
    start = Clock::now();
    result = link_.WriteBytes(frame, 18);
    ++writes;
  }
  EXPECT_EQ(result, -static_cast<int>(WAIT_TIMEOUT));
  // Bounded by the write time-out of 185 ms; generous slack for a busy machine.
  EXPECT_LT(MillisecondsSince(start), 2000);
}

}  // namespace
}  // namespace vxr
