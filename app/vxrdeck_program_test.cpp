// The real vxrdeck program, started offscreen and driven over a pseudo-terminal as an edit
// controller drives a deck, then ended with SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame.h"
#include "protocol/status_bits.h"
#include "protocol/timecode.h"
#include "testing/controller_line.h"
#include "testing/deck_process.h"
#include "testing/media/test_tapes.h"
#include "testing/no_display_start.h"
#include "testing/orderly_end.h"
#include "testing/pty_pair.h"

namespace vxr {
namespace {

using testing::Bytes;

using testing::WaitFor;

class VxrdeckProgramTest : public ::testing::Test {
 protected:
  Bytes Send(const Bytes& frame) { return line_.Send(frame); }
  Bytes Status(int count) { return line_.Status(count); }
  bool Has(const StatusBit& bit) { return line_.Has(bit); }
  // The position from the current time sense, in frames at 25; -1 without an answer.
  std::int64_t Position() { return line_.TimeSense(); }
  // Starts the program on the pty with --remote and waits until it serves the controller with
  // byte 0 of the status reading byte0 (Local clear by then).
  ::testing::AssertionResult StartServing(testing::DeckProcess& program,
                                          std::vector<std::string> arguments, std::uint8_t byte0) {
    arguments.insert(arguments.end(), {"--port", pty_.SlavePath(), "--remote"});
    if (!program.Start(arguments)) return ::testing::AssertionFailure() << "cannot start";
    const bool serving = WaitFor(
        [&] {
          if (!program.Running()) return true;
          const Bytes s = Status(1);
          return s.size() == 1 && s[0] == byte0;
        },
        kStartMs);
    if (!serving || !program.Running()) return ::testing::AssertionFailure() << program.Log();
    return ::testing::AssertionSuccess();
  }

  static constexpr int kStartMs = 30000;  // start-up of a Qt program on a loaded machine
  static constexpr int kActMs = 10000;
  testing::TempFolder folder_;
  testing::PtyPair pty_;
  testing::ControllerLine line_{pty_};
};

TEST_F(VxrdeckProgramTest, AnEditControllerDrivesTheProgramAndSigtermEndsItAsPowerDoes) {
  ASSERT_TRUE(pty_.ok());
  std::string error;
  const std::string tape =
      testing::MakeTestTape(folder_, "reel.avi", testing::SmallTape(20.0), &error);  // 500 frames
  ASSERT_FALSE(tape.empty()) << error;
  testing::DeckProcess program(VXRDECK_PROGRAM, folder_.path());
  // The deck answers once REMOTE has started the service; the options have then loaded the
  // tape and given up local control.
  ASSERT_TRUE(StartServing(program, {"--tape", tape}, 0x00));

  EXPECT_EQ(Send({0x00, 0x11}), (Bytes{0x12, 0x11, 0x21, 0x50, 0x94}));
  EXPECT_EQ(Send({0x61, 0x20, 0x03}), (Bytes{0x73, 0x20, 0x00, 0xA0, 0x02, 0x35}));
  EXPECT_EQ(Send({0x61, 0x0C, 0x01}), (Bytes{0x74, 0x04, 0x00, 0x00, 0x00, 0x00, 0x78}));

  // Play: the time sense advances.
  const Bytes ack = {0x10, 0x01, 0x11};
  EXPECT_EQ(Send({0x20, 0x01}), ack);
  ASSERT_TRUE(WaitFor([&] { return Has(status::Play) && Position() >= 10; }, kActMs));
  const std::int64_t earlier = Position();
  ASSERT_TRUE(WaitFor([&] { return Position() > earlier; }, kActMs));

  // Cue to 00:00:10:00.
  EXPECT_EQ(Send({0x24, 0x31, 0x00, 0x10, 0x00, 0x00}), ack);
  ASSERT_TRUE(WaitFor([&] { return Has(status::CueUp_Complete); }, kActMs));
  EXPECT_EQ(Send({0x61, 0x0C, 0x01}), (Bytes{0x74, 0x04, 0x00, 0x10, 0x00, 0x00, 0x88}));

  // Jog forward at play speed, then shuttle back.
  EXPECT_EQ(Send({0x21, 0x11, 0x40}), ack);
  ASSERT_TRUE(WaitFor([&] { return Has(status::Jog) && Position() > 255; }, kActMs));
  const std::int64_t before_shuttle = Position();
  EXPECT_EQ(Send({0x21, 0x23, 0x49}), ack);
  ASSERT_TRUE(WaitFor([&] { return Has(status::Shuttle) && Has(status::Reverse); }, kActMs));
  ASSERT_TRUE(WaitFor([&] { return Position() < before_shuttle - 5; }, kActMs));
  EXPECT_EQ(Send({0x20, 0x00}), ack);
  ASSERT_TRUE(WaitFor([&] { return Has(status::Stop) && !Has(status::Shuttle); }, kActMs));

  // Eject: once the status shows no tape, every transport command is refused.
  EXPECT_EQ(Send({0x20, 0x0F}), ack);
  ASSERT_TRUE(WaitFor([&] { return Has(status::Tape_OUT); }, kActMs));
  const Bytes refused = {0x11, 0x12, 0x01, 0x24};
  for (const Bytes& frame : {Bytes{0x20, 0x01}, Bytes{0x20, 0x00}, Bytes{0x20, 0x10},
                             Bytes{0x20, 0x20}, Bytes{0x21, 0x11, 0x40}, Bytes{0x21, 0x13, 0x40},
                             Bytes{0x24, 0x31, 0x00, 0x01, 0x00, 0x00}, Bytes{0x20, 0x0F}}) {
    EXPECT_EQ(Send(frame), refused);
  }

  testing::OrderlyEnd end;
  end.port = pty_.SlavePath();
  end.recent_files = {tape};
  EXPECT_TRUE(testing::EndsInOrder(program, end));
  // Nobody answers any more.
  pty_.Write({0x61, 0x20, 0x01, 0x82});
  EXPECT_TRUE(pty_.ReadFrame(300).empty());
}

TEST_F(VxrdeckProgramTest, SighupEndsTheProgramInOrderAndKeepsTheRecentFileList) {
  // The terminal that started the deck closes: the end is POWER's, not a kill.
  ASSERT_TRUE(pty_.ok());
  std::string error;
  const std::string tape =
      testing::MakeTestTape(folder_, "reel.avi", testing::SmallTape(2.0), &error);
  ASSERT_FALSE(tape.empty()) << error;
  testing::DeckProcess program(VXRDECK_PROGRAM, folder_.path());
  ASSERT_TRUE(StartServing(program, {"--no-monitor", "--tape", tape}, 0x00));
  testing::OrderlyEnd end;
  end.signal_number = SIGHUP;
  end.port = pty_.SlavePath();
  end.recent_files = {tape};
  EXPECT_TRUE(testing::EndsInOrder(program, end));
}

// One step of a controller that asks only for the time: the command, whether the time then
// runs or stands, and the time reply's second byte the step leads to (0x04 locked, 0x14 not).
struct TimeOnlyStep {
  Bytes command;
  bool runs;
  std::uint8_t time_cmd2;
};

// Plays, stops, jogs and ejects the tape of a program already serving the line, with time
// requests only, and gives each step's time reply header. A reply is taken once the time shows
// the step's motion, at least kSettleMs after the command, and with the step's lock flag (or
// when kActMs has passed without it: the last reply then tells what was wrong).
std::vector<Bytes> TimeOnlyReplies(testing::ControllerLine& line,
                                   const std::vector<TimeOnlyStep>& steps) {
  constexpr auto kSettleMs = std::chrono::milliseconds(150);
  constexpr int kActMs = 10000;
  constexpr std::size_t kTimeReplySize = 7;
  std::vector<Bytes> headers;
  for (const TimeOnlyStep& step : steps) {
    EXPECT_EQ(line.Send(step.command), (Bytes{0x10, 0x01, 0x11}));
    const auto sent = std::chrono::steady_clock::now();
    Bytes previous, reply;
    WaitFor(
        [&] {
          previous = reply;
          reply = line.Send({0x61, 0x0C, 0x01});
          if (reply.size() != kTimeReplySize || previous.size() != kTimeReplySize) return false;
          const bool runs = !std::equal(reply.begin() + 2, reply.end() - 1, previous.begin() + 2);
          return runs == step.runs && reply[1] == step.time_cmd2 &&
                 std::chrono::steady_clock::now() - sent >= kSettleMs;
        },
        kActMs);
    headers.push_back(Bytes(reply.begin(), reply.begin() + std::min<std::size_t>(reply.size(), 2)));
  }
  return headers;
}

TEST_F(VxrdeckProgramTest, TimeRepliesCarryTheSameLockFlagInTheHeadlessAndTheWindowedDeck) {
  // A controller that never senses the status still gets the lock flag of the transport as it
  // is: both decks refresh the status every 100 ms, the windowed one from its panel's timer.
  ASSERT_TRUE(pty_.ok());
  std::string error;
  const std::string tape =
      testing::MakeTestTape(folder_, "reel.avi", testing::SmallTape(20.0), &error);
  ASSERT_FALSE(tape.empty()) << error;
  const std::vector<TimeOnlyStep> steps = {
      {{0x20, 0x01}, true, 0x04},        // play: servo locked
      {{0x20, 0x00}, false, 0x04},       // stop: a still picture
      {{0x21, 0x11, 0x40}, true, 0x14},  // jog: neither
      {{0x20, 0x0F}, false, 0x14},       // eject: no tape
  };
  std::vector<Bytes> expected;
  for (const TimeOnlyStep& step : steps) expected.push_back({0x74, step.time_cmd2});

  for (const bool headless : {false, true}) {
    SCOPED_TRACE(headless ? "headless" : "windowed");
    testing::DeckProcess program(VXRDECK_PROGRAM, folder_.path());
    std::vector<std::string> arguments = {"--no-monitor", "--tape", tape, "--port",
                                          pty_.SlavePath()};
    arguments.push_back(headless ? "--headless" : "--remote");
    ASSERT_TRUE(program.Start(arguments));
    ASSERT_TRUE(line_.WaitUntilServed(kStartMs)) << program.Log();
    EXPECT_EQ(TimeOnlyReplies(line_, steps), expected);
    EXPECT_TRUE(testing::EndsInOrder(program, {}));
  }
}

// A pipe for a program's standard error: its write end at a free single-digit descriptor (the
// shell's redirection takes no more) until the program has it, its read end kept unread
// (optionally filled to the brim first) or closed.
class StderrPipe {
 public:
  enum class Reader { kClosed, kFullAndUnread };
  explicit StderrPipe(Reader reader) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    read_fd_ = fds[0];
    if (reader == Reader::kFullAndUnread) Fill(fds[1]);
    for (int fd = kHighestShellFd; fd > STDERR_FILENO && write_fd_ < 0; --fd) {
      if (::fcntl(fd, F_GETFD) == -1 && ::dup2(fds[1], fd) == fd) write_fd_ = fd;
    }
    ::close(fds[1]);
    if (reader == Reader::kClosed) {
      ::close(read_fd_);
      read_fd_ = -1;
    }
  }
  ~StderrPipe() {
    CloseWriteEnd();
    if (read_fd_ >= 0) ::close(read_fd_);
  }
  bool ok() const { return write_fd_ >= 0; }
  // The shell's arguments that run the deck with its standard error on the pipe.
  std::vector<std::string> Arguments(const std::vector<std::string>& deck_arguments) const {
    const std::string fd = std::to_string(write_fd_);
    std::vector<std::string> arguments = {"-c", "exec \"$0\" \"$@\" 2>&" + fd + " " + fd + ">&-",
                                          VXRDECK_PROGRAM};
    arguments.insert(arguments.end(), deck_arguments.begin(), deck_arguments.end());
    return arguments;
  }
  // Once the program runs: it holds the only write end.
  void CloseWriteEnd() {
    if (write_fd_ >= 0) ::close(write_fd_);
    write_fd_ = -1;
  }

 private:
  static constexpr int kHighestShellFd = 9;
  static void Fill(int fd) {
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    const std::string block(PIPE_BUF, '#');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::fcntl(fd, F_SETFL, 0);
  }
  int read_fd_ = -1;
  int write_fd_ = -1;
};

TEST_F(VxrdeckProgramTest, AStandardErrorThatIsClosedOrTakesNothingNeitherEndsNorStallsTheDeck) {
  // First the reader of the deck's standard error has gone before the deck writes its first
  // line; then nobody reads it and the pipe is full before the deck starts. Either way the deck
  // serves and answers every frame of a burst of transport commands, far more than the player's
  // mailbox holds (so the receiver's own thread reports ignored commands), ends on SIGTERM with
  // exit code 0 and writes its configuration.
  ASSERT_TRUE(pty_.ok());
  std::string error;
  const std::string tape =
      testing::MakeTestTape(folder_, "reel.avi", testing::SmallTape(4.0), &error);
  ASSERT_FALSE(tape.empty()) << error;
  constexpr int kRounds = 200;
  constexpr int kReplyMs = 5000;  // a stalled receiver never answers; a busy one well within
  std::vector<Bytes> frames;
  for (int i = 0; i < kRounds; ++i) {
    frames.push_back(testing::WithChecksum({0x20, 0x01}));
    frames.push_back(testing::WithChecksum({0x20, 0x00}));
  }
  for (const auto reader : {StderrPipe::Reader::kClosed, StderrPipe::Reader::kFullAndUnread}) {
    SCOPED_TRACE(reader == StderrPipe::Reader::kClosed ? "closed" : "full");
    StderrPipe stderr_pipe(reader);
    ASSERT_TRUE(stderr_pipe.ok());
    testing::DeckProcess program("/bin/sh", folder_.path());
    ASSERT_TRUE(program.Start(
        stderr_pipe.Arguments({"--headless", "--tape", tape, "--port", pty_.SlavePath()})));
    stderr_pipe.CloseWriteEnd();
    ASSERT_TRUE(line_.WaitUntilServed(kStartMs))
        << "ended by signal " << (program.Running() ? 0 : program.TermSignal());
    const std::vector<Bytes> replies = line_.SendBackToBack(frames, kReplyMs);
    ASSERT_EQ(replies.size(), frames.size());
    for (const Bytes& reply : replies) EXPECT_EQ(reply, (Bytes{0x10, 0x01, 0x11}));
    testing::OrderlyEnd end;
    end.port = pty_.SlavePath();
    end.recent_files = {tape};
    EXPECT_TRUE(testing::EndsInOrder(program, end));
  }
}

TEST_F(VxrdeckProgramTest, WithoutADisplayHelpAndOptionsWorkAndThePanelSaysHowToRun) {
  testing::ExpectNoDisplayStart(VXRDECK_PROGRAM, folder_.path());
}

TEST_F(VxrdeckProgramTest, TheBoardMonitorRunsWithTheDeckAndGoesBeforeTheBoard) {
  ASSERT_TRUE(pty_.ok());
  std::string error;
  const std::string tape =
      testing::MakeTestTape(folder_, "reel.avi", testing::SmallTape(6.0), &error);
  ASSERT_FALSE(tape.empty()) << error;
  testing::DeckProcess program(VXRDECK_PROGRAM, folder_.path(), {{"VXR_BOARD_MONITOR", "1"}});
  ASSERT_TRUE(StartServing(program, {"--tape", tape}, 0x00));
  EXPECT_EQ(Send({0x20, 0x01}), (Bytes{0x10, 0x01, 0x11}));
  ASSERT_TRUE(WaitFor([&] { return Position() >= 10; }, kActMs));
  EXPECT_TRUE(testing::EndsInOrder(program, {}));
}

TEST_F(VxrdeckProgramTest, NoMonitorOverridesTheBoardsVariable) {
  ASSERT_TRUE(pty_.ok());
  const std::string refusal = "VXR_BOARD_MONITOR=\"yes\" is neither 0 nor 1";
  {
    // The variable is read (and its bad value refused) when the option is absent...
    testing::DeckProcess program(VXRDECK_PROGRAM, folder_.path(), {{"VXR_BOARD_MONITOR", "yes"}});
    ASSERT_TRUE(StartServing(program, {}, 0x20));
    EXPECT_TRUE(testing::EndsInOrder(program, {}));
    EXPECT_NE(program.Log().find(refusal), std::string::npos) << program.Log();
  }
  {
    // ...and not at all when --no-monitor is given.
    testing::DeckProcess program(VXRDECK_PROGRAM, folder_.path(), {{"VXR_BOARD_MONITOR", "yes"}});
    ASSERT_TRUE(StartServing(program, {"--no-monitor"}, 0x20));
    EXPECT_TRUE(testing::EndsInOrder(program, {}));
    EXPECT_EQ(program.Log().find(refusal), std::string::npos) << program.Log();
  }
}

TEST_F(VxrdeckProgramTest, WithoutABoardSigtermStillEndsTheProgramCleanly) {
  // The start-up message waits for a click; SIGTERM closes it (or comes before it) and the
  // program ends as POWER ends it. Either way the outcome is the same.
  testing::DeckProcess program(VXRDECK_PROGRAM, folder_.path(), {{"VXR_BOARD_COUNT", "0"}});
  ASSERT_TRUE(program.Start({}));
  // The player has found no board: the message about it is up, or about to be.
  ASSERT_TRUE(WaitFor(
      [&] {
        return !program.Running() ||
               program.Log().find("get_BoardsNumber() return 0") != std::string::npos;
      },
      kStartMs));
  ASSERT_TRUE(program.Running()) << program.Log();
  testing::OrderlyEnd end;
  end.signal_number = SIGINT;
  end.port = "";  // no port was served
  EXPECT_TRUE(testing::EndsInOrder(program, end));
}

}  // namespace
}  // namespace vxr
