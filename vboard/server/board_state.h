#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/hresult.h"
#include "vboard/server/board_clock.h"
#include "vboard/server/board_config.h"
#include "vboard/server/fault_injector.h"
#include "vboard/server/frame_grid.h"
#include "vboard/server/timeline.h"

namespace vxr {

// Resource ids, property ids and options of the software board.
inline constexpr std::int32_t kResourceOutput = 1;     // the video output channel
inline constexpr std::int32_t kResourceFieldUnit = 2;  // field processing of interlaced material
inline constexpr std::int32_t kResourceAudio = 3;      // the audio output
inline constexpr std::int32_t kResourceOutputControl = 4;  // the output options
inline constexpr std::int32_t kResourceWindow = 5;         // the picture window (crop and place)
inline constexpr std::int32_t kPropertyCount = 32;         // properties 0 .. 31
inline constexpr std::int32_t kPropertyRouting = 14;       // output routing switches
inline constexpr std::int32_t kRoutingStartValue = 0x01;   // bit 0: output on

// One board's set-up, as tests read it.
struct BoardResources {
  struct Rect {
    std::int32_t x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
  };
  std::set<std::int32_t> acquired;
  std::map<std::int32_t, std::int32_t> properties;  // every id 0 .. kPropertyCount - 1
  Rect rect;                                        // zero size until SetBoardRect
  std::map<std::int32_t, std::int32_t> options;     // options 1 .. 3, start value 0
  std::set<std::int32_t> busy;                      // units in use elsewhere (tests set them)
  int free_count = 0;                               // FreeResources calls so far

  BoardResources();
  void ReturnToStart();  // what FreeResources does; keeps busy and free_count
};

// What every object of the software board shares: configuration, clock, output ticks, each
// board's resources and the timeline that drives each board's output.
class CBoardState {
 public:
  CBoardState(BoardConfig config, std::shared_ptr<const IBoardClock> clock);

  const BoardConfig& config() const { return config_; }
  const std::shared_ptr<const IBoardClock>& clock() const { return clock_; }
  const FrameGrid& grid() const { return grid_; }
  bool ValidBoard(std::int32_t board) const { return board >= 0 && board < config_.board_count; }

  // Runs change on the board's resources under the lock; E_INVALIDARG for another board.
  HRESULT Change(std::int32_t board, const std::function<HRESULT(BoardResources&)>& change);
  BoardResources Resources(std::int32_t board) const;

  // The newest timeline of a board drives its output.
  void AttachTimeline(std::int32_t board, const std::shared_ptr<CTimeline>& timeline);
  std::shared_ptr<CTimeline> Timeline(std::int32_t board) const;

  // Whether a board's first queued picture is ready to show, as the consumer of the board's
  // program answers it (the program's board monitor); empty to remove. Once SetReadyCheck
  // returns, no call of the previous check is running.
  void SetReadyCheck(std::int32_t board, CTimeline::ReadyCheck check);
  // The registered check's answer; true without one: nothing decodes that board's program.
  bool PictureReady(std::int32_t board, const std::shared_ptr<CSuperClip>& tape, std::int64_t frame,
                    const CTimeline::Rect& source_rect, CTimeline::Need need);

  // Failures that tests ask of the server's objects; none unless a test arms one.
  const std::shared_ptr<CFaultInjector>& Faults() const { return faults_; }

 private:
  const std::shared_ptr<CFaultInjector> faults_ = std::make_shared<CFaultInjector>();
  const BoardConfig config_;
  const std::shared_ptr<const IBoardClock> clock_;
  const FrameGrid grid_;
  mutable std::mutex mutex_;  // guards boards_ and timelines_
  std::vector<BoardResources> boards_;
  std::vector<std::weak_ptr<CTimeline>> timelines_;
  std::mutex ready_mutex_;  // guards ready_checks_; held while one runs
  std::map<std::int32_t, CTimeline::ReadyCheck> ready_checks_;
};

}  // namespace vxr
