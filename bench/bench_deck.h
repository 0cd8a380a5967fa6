#pragma once

// What the benchmarks share: the real player on a pal software board with its real clock, and
// the board's output record collected as it comes. Diagnostics are silenced.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/diagnostics.h"
#include "player/clvr_player.h"
#include "player/server_registry.h"
#include "protocol/status_bits.h"
#include "testing/wait_for.h"
#include "vboard/server/software_board.h"
#include "vboard/server/timeline.h"

namespace vxr::bench {

inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

inline bool WaitFor(const std::function<bool()>& condition, int timeout_ms) {
  return testing::WaitFor(condition, timeout_ms, 2);
}

class CBenchDeck {
 public:
  explicit CBenchDeck(BoardConfig config = {}) {
    SetDiagnosticSink([](std::string_view, std::string_view) {});
    board_ = std::make_unique<CSoftwareBoard>(std::move(config));
    board_->Register();
    board_->Subscribe([this](const OutputFrame& frame) {
      std::lock_guard lock(mutex_);
      record_.push_back(frame);
    });
  }
  ~CBenchDeck() {
    player_.reset();
    board_.reset();
    UnregisterServerClasses();
  }
  CBenchDeck(const CBenchDeck&) = delete;
  CBenchDeck& operator=(const CBenchDeck&) = delete;

  CSoftwareBoard& board() { return *board_; }
  CClvrPlayer& player() { return *player_; }

  // A new player on the board, started; false when it does not start.
  bool StartPlayer() {
    player_ = std::make_unique<CClvrPlayer>();
    return player_->Initialize() == 0;
  }

  bool Has(const StatusBit& bit) {
    std::uint8_t s[16];
    player_->ReadStatus(s, 0, 16);
    return bit.In(s);
  }
  std::int64_t OnOutput() { return board_->Timeline(0)->FrameOnOutput(); }

  // Cues the tape to frame and waits until the output shows it.
  void Cue(std::uint32_t frame) {
    Timecode tc;
    tc.FromFrames(frame, 25);
    player_->CueUp(tc);
    WaitFor([&] { return Has(status::CueUp_Complete) && OnOutput() == frame; }, 5000);
  }

  std::size_t RecordSize() {
    std::lock_guard lock(mutex_);
    return record_.size();
  }
  std::vector<OutputFrame> RecordSince(std::size_t mark) {
    std::lock_guard lock(mutex_);
    return {record_.begin() + static_cast<std::ptrdiff_t>(std::min(mark, record_.size())),
            record_.end()};
  }

 private:
  std::unique_ptr<CSoftwareBoard> board_;
  std::unique_ptr<CClvrPlayer> player_;
  std::mutex mutex_;  // guards record_
  std::vector<OutputFrame> record_;
};

}  // namespace vxr::bench
