#pragma once

// What the tests of the player on the software board share: the board with its real clock, a
// player on it, test tapes, the diagnostics it reports and the board's output record.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/diagnostics.h"
#include "player/clvr_player.h"
#include "player/server_registry.h"
#include "protocol/status_bits.h"
#include "testing/media/test_tapes.h"
#include "testing/wait_for.h"
#include "vboard/server/software_board.h"
#include "vboard/server/timeline.h"

namespace vxr::testing {

// Collects every diagnostic of the process while it lives.
class DiagnosticLog {
 public:
  DiagnosticLog() {
    previous_ = SetDiagnosticSink([this](std::string_view tag, std::string_view text) {
      std::lock_guard lock(mutex_);
      entries_.emplace_back(std::string(tag), std::string(text));
    });
  }
  ~DiagnosticLog() { SetDiagnosticSink(previous_); }

  int Count(const std::string& tag, const std::string& text) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& [t, x] : entries_) n += (t == tag && x == text) ? 1 : 0;
    return n;
  }
  bool HasTag(const std::string& tag) const {
    std::lock_guard lock(mutex_);
    for (const auto& entry : entries_) {
      if (entry.first == tag) return true;
    }
    return false;
  }
  std::string Dump() const {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const auto& [t, x] : entries_) all += t + ": " + x + (x.ends_with('\n') ? "" : "\n");
    return all;
  }

 private:
  mutable std::mutex mutex_;  // guards entries_
  std::vector<std::pair<std::string, std::string>> entries_;
  DiagnosticSink previous_;
};

// A player whose thread can be held inside a report, so that tests can fill the mailbox while
// the thread is busy: a command with code 9 makes the thread report " Unknown CMD 9", and
// while the gate is closed the report does not return.
class GatedPlayer : public CClvrPlayer {
 public:
  void DebugReport(const char* tag, const char* format, ...) override
      __attribute__((format(printf, 3, 4))) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    CClvrPlayer::DebugReport(tag, "%s", text);
    if (std::string(text) == " Unknown CMD 9\n") {
      std::unique_lock lock(gate_mutex_);
      held_ = true;
      gate_changed_.notify_all();
      gate_changed_.wait(lock, [this] { return open_; });
      held_ = false;
    }
  }
  // Sends code 9 and returns once the thread is held in its report.
  void HoldThread() {
    {
      std::lock_guard lock(gate_mutex_);
      open_ = false;
    }
    Command command;
    command.code = kVariableSpeed;
    CMD_set(command);
    std::unique_lock lock(gate_mutex_);
    gate_changed_.wait(lock, [this] { return held_; });
  }
  void ReleaseThread() {
    std::lock_guard lock(gate_mutex_);
    open_ = true;
    gate_changed_.notify_all();
  }
  // The thread may still be inside DebugReport, on the gate: end it before the gate goes.
  ~GatedPlayer() override {
    ReleaseThread();
    EndThread();
  }

 private:
  std::mutex gate_mutex_;  // guards open_ and held_
  std::condition_variable gate_changed_;
  bool open_ = true;
  bool held_ = false;
};

class PlayerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    player_.reset();
    if (board_ && subscription_ != 0) board_->Unsubscribe(subscription_);
    subscription_ = 0;
    board_.reset();
    UnregisterServerClasses();
  }

  void StartBoard(const char* format = "pal", int boards = 1) {
    BoardConfig config;
    config.board_count = boards;
    ASSERT_TRUE(FindOutputFormat(format, &config.format));
    board_ = std::make_unique<CSoftwareBoard>(config);
    board_->Register();
    subscription_ = board_->Subscribe([this](const OutputFrame& frame) {
      std::lock_guard lock(record_mutex_);
      record_.push_back(frame);
    });
  }

  template <typename Player = CClvrPlayer>
  Player* StartPlayer() {
    auto player = std::make_unique<Player>();
    Player* raw = player.get();
    player_ = std::move(player);
    EXPECT_EQ(player_->Initialize(), 0);
    return raw;
  }

  // A tape of frames frames at the rate, small pictures unless a size is given.
  std::string MakeTape(const std::string& name, std::uint32_t frames, int rate_num = 25,
                       int rate_den = 1, int width = 64, int height = 48) {
    TapeSpec spec = SmallTape(1.0, rate_num, rate_den);
    spec.frames = frames;
    spec.width = width;
    spec.height = height;
    std::string error;
    const std::string path = MakeTestTape(folder_, name, spec, &error);
    EXPECT_FALSE(path.empty()) << error;
    return path;
  }

  void LoadTape(std::uint32_t frames) {
    const std::string path = MakeTape("tape.avi", frames);
    ASSERT_EQ(player_->InsertTape(path), 0) << log_.Dump();
  }

  // A generous bound: a wait ends as soon as its condition holds; only a failure waits it out.
  static constexpr int kWaitMs = 20000;
  static bool WaitFor(const std::function<bool()>& condition, int timeout_ms = kWaitMs) {
    return testing::WaitFor(condition, timeout_ms, 2);
  }

  static void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  std::array<std::uint8_t, 16> Status() {
    std::array<std::uint8_t, 16> block{};
    player_->ReadStatus(block.data(), 0, 16);
    return block;
  }
  bool Bit(const StatusBit& bit) { return bit.In(Status().data()); }
  // Stop and Still without the motion bits: the state after a completed command.
  bool StoppedOnAPicture() {
    const auto s = Status();
    return status::Stop.In(s.data()) && status::Still.In(s.data()) && !status::Play.In(s.data()) &&
           !status::Jog.In(s.data()) && !status::Shuttle.In(s.data()) &&
           !status::Fast_FWD.In(s.data()) && !status::Rewind.In(s.data());
  }

  std::int64_t FrameOnOutput() { return board_->Timeline(0)->FrameOnOutput(); }

  // The output record from tick index first on.
  std::vector<OutputFrame> RecordSince(std::size_t first) {
    std::lock_guard lock(record_mutex_);
    if (first >= record_.size()) return {};
    return {record_.begin() + static_cast<std::ptrdiff_t>(first), record_.end()};
  }
  std::size_t RecordSize() {
    std::lock_guard lock(record_mutex_);
    return record_.size();
  }

  // Waits until the output has shown one picture for `ticks` ticks in a row and returns it (-1
  // when it never settles).
  std::int64_t WaitForSteadyPicture(int ticks = 5, int timeout_ms = 5000) {
    std::int64_t steady = -1;
    const bool settled = WaitFor(
        [&] {
          std::lock_guard lock(record_mutex_);
          if (record_.size() < static_cast<std::size_t>(ticks)) return false;
          const std::int64_t frame = record_.back().tape_frame;
          for (std::size_t i = record_.size() - static_cast<std::size_t>(ticks); i < record_.size();
               ++i) {
            if (record_[i].tape_frame != frame) return false;
          }
          steady = frame;
          return true;
        },
        timeout_ms);
    return settled ? steady : -1;
  }
  // The next `ticks` ticks of the output record.
  std::vector<OutputFrame> NextTicks(int ticks) {
    const std::size_t mark = RecordSize();
    EXPECT_TRUE(WaitFor([&] { return RecordSize() >= mark + static_cast<std::size_t>(ticks); }));
    auto record = RecordSince(mark);
    if (record.size() > static_cast<std::size_t>(ticks))
      record.resize(static_cast<std::size_t>(ticks));
    return record;
  }

  Timecode TimecodeOf(std::uint32_t frame) {
    Timecode tc;
    tc.FromFrames(frame, static_cast<std::uint32_t>(TimecodeRate.load()));
    return tc;
  }

  DiagnosticLog log_;
  TempFolder folder_;
  std::unique_ptr<CSoftwareBoard> board_;
  std::unique_ptr<CClvrPlayer> player_;
  int subscription_ = 0;
  std::mutex record_mutex_;  // guards record_
  std::vector<OutputFrame> record_;
};

}  // namespace vxr::testing
