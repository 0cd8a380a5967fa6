#include "vboard/server/board_state.h"

#include <utility>

namespace vxr {

BoardResources::BoardResources() { ReturnToStart(); }

void BoardResources::ReturnToStart() {
  acquired.clear();
  for (std::int32_t id = 0; id < kPropertyCount; ++id) properties[id] = 0;
  properties[kPropertyRouting] = kRoutingStartValue;
  rect = Rect{};
  options = {{1, 0}, {2, 0}, {3, 0}};
}

CBoardState::CBoardState(BoardConfig config, std::shared_ptr<const IBoardClock> clock)
    : config_(std::move(config)),
      clock_(std::move(clock)),
      grid_(clock_->NowNs(), config_.format.rate_num, config_.format.rate_den),
      boards_(static_cast<std::size_t>(config_.board_count)),
      timelines_(static_cast<std::size_t>(config_.board_count)) {}

HRESULT CBoardState::Change(std::int32_t board,
                            const std::function<HRESULT(BoardResources&)>& change) {
  if (!ValidBoard(board)) return E_INVALIDARG;
  std::lock_guard lock(mutex_);
  return change(boards_[static_cast<std::size_t>(board)]);
}

BoardResources CBoardState::Resources(std::int32_t board) const {
  if (!ValidBoard(board)) return BoardResources{};
  std::lock_guard lock(mutex_);
  return boards_[static_cast<std::size_t>(board)];
}

void CBoardState::AttachTimeline(std::int32_t board, const std::shared_ptr<CTimeline>& timeline) {
  if (!ValidBoard(board)) return;
  std::lock_guard lock(mutex_);
  timelines_[static_cast<std::size_t>(board)] = timeline;
}

std::shared_ptr<CTimeline> CBoardState::Timeline(std::int32_t board) const {
  if (!ValidBoard(board)) return nullptr;
  std::lock_guard lock(mutex_);
  return timelines_[static_cast<std::size_t>(board)].lock();
}

void CBoardState::SetReadyCheck(std::int32_t board, CTimeline::ReadyCheck check) {
  std::lock_guard lock(ready_mutex_);
  if (check) {
    ready_checks_[board] = std::move(check);
  } else {
    ready_checks_.erase(board);
  }
}

bool CBoardState::PictureReady(std::int32_t board, const std::shared_ptr<CSuperClip>& tape,
                               std::int64_t frame, const CTimeline::Rect& source_rect,
                               CTimeline::Need need) {
  std::lock_guard lock(ready_mutex_);
  const auto check = ready_checks_.find(board);
  return check == ready_checks_.end() || check->second(tape, frame, source_rect, need);
}

}  // namespace vxr
