#pragma once

// The deck as a rack holds it, for the reliability tests: the real player on the software
// board, a deck object that serves a pseudo-terminal, and an edit controller on the other end
// of it. Diagnostics are collected word for word.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "deck/vtr_deck.h"
#include "integration/player_test_fixture.h"
#include "player/clvr_player.h"
#include "player/server_registry.h"
#include "protocol/frame.h"
#include "protocol/status_bits.h"
#include "testing/controller_line.h"
#include "testing/media/test_tapes.h"
#include "testing/pty_pair.h"
#include "vboard/server/software_board.h"
#include "vboard/server/timeline.h"

namespace vxr::testing {

using Clock = std::chrono::steady_clock;

inline double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Clears the flag that keeps a test's own thread going and joins the thread, at Join or at the
// end of the scope, so that a failed assertion never leaves the thread running.
class ThreadJoiner {
 public:
  ThreadJoiner(std::atomic<bool>& going, std::thread& thread) : going_(going), thread_(thread) {}
  ~ThreadJoiner() { Join(); }
  ThreadJoiner(const ThreadJoiner&) = delete;
  ThreadJoiner& operator=(const ThreadJoiner&) = delete;
  void Join() const {
    going_.store(false);
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool>& going_;
  std::thread& thread_;
};

class DeckLineTest : public ::testing::Test {
 protected:
  // Generous bound for "answers at once": the replies take a millisecond or two, but this
  // machine is shared and the sanitizers slow everything down; a hang takes far longer.
  static constexpr int kPromptReplyMs = 750;

  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    board_ = std::make_unique<CSoftwareBoard>(BoardConfig{});
    board_->Register();
    deck_ = std::make_unique<CVtrDeck>([this]() -> std::unique_ptr<CDeckPlayer> {
      auto player = std::make_unique<CClvrPlayer>();
      player_ = player.get();
      return player;
    });
    TapeSpec spec = SmallTape(12.0);  // 300 frames at 25
    std::string error;
    tape_ = MakeTestTape(folder_, "reel.avi", spec, &error);
    ASSERT_FALSE(tape_.empty()) << error;
  }

  void TearDown() override {
    if (board_) board_->Faults().ClearAll();
    deck_.reset();
    player_ = nullptr;
    board_.reset();
    UnregisterServerClasses();
  }

  // The player, the tape, the receiver serving the line, and a controller that has got its
  // first answer.
  void StartDeck(bool load_tape = true) {
    ASSERT_EQ(deck_->CreatePlayer(), 0);
    if (load_tape) {
      ASSERT_EQ(deck_->InsertTape(tape_), 0) << log_.Dump();
    }
    ServeLine();
  }
  void ServeLine() {
    ASSERT_EQ(deck_->StartReceiver(pty_.SlavePath().c_str()), 0);
    // Bytes sent before the receiver serves are purged unanswered: poll as a controller does.
    ASSERT_TRUE(line_.WaitUntilServed(8000));
  }

  Bytes Send(const Bytes& frame) { return line_.Send(frame); }
  Bytes SendTimed(const Bytes& frame, double* ms) { return line_.SendTimed(frame, ms); }
  // Status bytes 0 to 8 from a status sense; empty on a wrong reply.
  Bytes Status() { return line_.Status(9); }
  bool Has(const StatusBit& bit) { return line_.Has(bit); }
  // The position from the current time sense, in frames at 25; -1 on a wrong reply.
  std::int64_t TimeSense() { return line_.TimeSense(); }
  // A generous bound: a wait ends as soon as its condition holds; only a failure waits it out.
  static constexpr int kWaitMs = 20000;
  static bool WaitFor(const std::function<bool()>& condition, int timeout_ms = kWaitMs) {
    return testing::WaitFor(condition, timeout_ms);
  }
  static void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  std::int64_t OnOutput() { return board_->Timeline(0)->FrameOnOutput(); }
  CFaultInjector& Faults() { return board_->Faults(); }

  const Bytes kAck = {0x10, 0x01, 0x11};
  const Bytes kNakUndefined = {0x11, 0x12, 0x01, 0x24};
  const Bytes kPlay = {0x20, 0x01};
  const Bytes kStop = {0x20, 0x00};

  DiagnosticLog log_;
  TempFolder folder_;
  std::string tape_;
  PtyPair pty_;
  ControllerLine line_{pty_};
  std::unique_ptr<CSoftwareBoard> board_;
  std::unique_ptr<CVtrDeck> deck_;
  CClvrPlayer* player_ = nullptr;  // owned by the deck
};

}  // namespace vxr::testing
