#include "vboard/server/timeline.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace vxr {

CTimeline::CTimeline(std::shared_ptr<const IBoardClock> clock, FrameGrid grid)
    : clock_(std::move(clock)),
      grid_(grid),
      rate_(grid.Rate()),
      last_tick_(grid_.TickAt(clock_->NowNs())) {}

CTimeline::ChangeNotice::~ChangeNotice() {
  if (timeline_.Revision() == before_) return;
  std::lock_guard lock(timeline_.watcher_mutex_);
  if (timeline_.watcher_) timeline_.watcher_();
}

void CTimeline::SetWatcher(std::function<void()> watcher) {
  std::lock_guard lock(watcher_mutex_);
  watcher_ = std::move(watcher);
}

void CTimeline::CatchUp() {
  const std::int64_t now = grid_.TickAt(clock_->NowNs());
  // A board failure that a test asks for strikes while the timeline moves.
  if (Moving() && FAILED(InjectedFault(faults_, BoardCall::kStopOnError))) {
    state_ = ClvPlaybackStopOnError;
  }
  while (last_tick_ < now) {
    // While nothing moves, skip to the ticks that the history keeps.
    if (!Moving()) {
      last_tick_ = std::max(last_tick_, now - static_cast<std::int64_t>(kHistoryTicks));
      if (last_tick_ >= now) break;
    }
    Tick(++last_tick_);
  }
}

bool CTimeline::Moving() const {
  return state_ == ClvPlaybackPreparing ||
         (state_ == ClvPlaybackPlaying && showing_ && (!started_ || pending_ > 0 || !done_));
}

void CTimeline::Tick(std::int64_t tick) {
  if (state_ == ClvPlaybackPreparing && tick >= ready_tick_) {
    Prepare(tick);
  } else if (state_ == ClvPlaybackPlaying && showing_) {
    if (!started_) {
      started_ = true;
    } else if (pending_ > 0) {
      ShowNext();
    } else {
      done_ = true;
    }
  }
  history_.push_back({tick, last_frame_, last_tape_});
  if (history_.size() > kHistoryTicks) history_.pop_front();
}

bool CTimeline::FirstQueuedIsOnOutput() const {
  const Segment& front = queue_.front();
  return last_frame_ >= 0 && front.clip == last_tape_ && front.PictureAt(0) == last_frame_;
}

bool CTimeline::FirstQueuedReady() const {
  const Segment& front = queue_.front();
  return !ready_check_ || ready_check_(front.clip, front.PictureAt(0), source_rect_, Need::kShow);
}

bool CTimeline::NextQueuedReady() const {
  if (!ready_check_) return true;
  const Segment& front = queue_.front();
  if (front.count > 1) {
    return ready_check_(front.clip, front.PictureAt(1), source_rect_, Need::kShow);
  }
  if (queue_.size() < 2) return true;
  const Segment& next = queue_[1];
  return ready_check_(next.clip, next.PictureAt(0), source_rect_, Need::kShow);
}

bool CTimeline::PicturesAroundDecoded() const {
  if (!ready_check_ || mode_ != Realtime) return true;
  const Segment& front = queue_.front();
  const std::int64_t first = front.PictureAt(0);
  for (std::int64_t frame = first - 1; frame >= 0 && frame >= first - kReverseStartFrames;
       --frame) {
    if (!ready_check_(front.clip, frame, source_rect_, Need::kDecoded)) return false;
  }
  // The next one is asked to show, above.
  for (std::int64_t i = 2; i <= kForwardStartFrames && i < front.count; ++i) {
    if (!ready_check_(front.clip, front.PictureAt(i), source_rect_, Need::kDecoded)) return false;
  }
  return true;
}

void CTimeline::Prepare(std::int64_t tick) {
  if (FirstQueuedReady()) {
    if (first_ready_tick_ < 0) first_ready_tick_ = tick;
    // The next picture, and those before it, get a few ticks: a picture that cannot be had soon
    // (a damaged one, or one the decoder reaches only by a long way round) does not hold the
    // motion back longer.
    const std::int64_t waited = tick - first_ready_tick_;
    if ((NextQueuedReady() || waited >= kNextPictureTicks) &&
        (waited >= kBackPicturesTicks || PicturesAroundDecoded())) {
      BecomeReady(ClvPlaybackStopped);
    }
  } else if (tick >= give_up_tick_) {
    revision_.fetch_add(1, std::memory_order_release);
    state_ = ClvPlaybackStopOnError;
  }
}

void CTimeline::BecomeReady(std::int32_t state) {
  revision_.fetch_add(1, std::memory_order_release);
  state_ = state;
  showing_ = true;
  offset_ = 0;
  --pending_;
  started_ = false;
  done_ = false;
  last_frame_ = CurrentFrame();
  last_tape_ = queue_.front().clip;
}

void CTimeline::ShowNext() {
  if (++offset_ >= queue_.front().count) {
    queue_.pop_front();
    offset_ = 0;
  }
  --pending_;
  started_ = true;
  done_ = false;
  last_frame_ = CurrentFrame();
  last_tape_ = queue_.front().clip;
}

std::int64_t CTimeline::CurrentFrame() const { return queue_.front().PictureAt(offset_); }

void CTimeline::Append(Segment segment) {
  revision_.fetch_add(1, std::memory_order_release);
  pending_ += segment.count;
  if (!queue_.empty() && segment.held && queue_.back().held && queue_.back().clip == segment.clip &&
      queue_.back().first == segment.first) {
    queue_.back().count += segment.count;
    return;
  }
  queue_.push_back(std::move(segment));
}

HRESULT CTimeline::get_State(std::int32_t* state) {
  if (state == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  CatchUp();
  *state = state_;
  return S_OK;
}

HRESULT CTimeline::put_State(std::int32_t state) {
  if (state < ClvPlaybackPreparing || state > ClvPlaybackPlaying) return E_INVALIDARG;
  if (HRESULT f = InjectedFault(faults_, BoardCall::kPutState); FAILED(f)) return f;
  const ChangeNotice notice(*this);  // tells the watcher once the lock is let go
  std::lock_guard lock(mutex_);
  CatchUp();
  switch (state_) {
    case ClvPlaybackEmpty:
      if (pending_ == 0 || state == ClvPlaybackPlaying) return CLV_E_WRONG_STATE;
      if (state == ClvPlaybackStopped || state == ClvPlaybackPaused) {
        // Stopping or pausing an unprepared timeline readies it at once: the first queued
        // picture goes on the output, as after a tape is cued in the deck.
        BecomeReady(state);
        return S_OK;
      }
      if (FirstQueuedIsOnOutput() && FirstQueuedReady() && NextQueuedReady()) {
        // The picture to prepare is the one on the output, and ready: nothing is left to wait
        // for, so a motion from a cue or a still starts at the coming tick.
        BecomeReady(ClvPlaybackStopped);
        return S_OK;
      }
      revision_.fetch_add(1, std::memory_order_release);
      state_ = ClvPlaybackPreparing;
      ready_tick_ = last_tick_ + kPrepareTicks;
      first_ready_tick_ = -1;
      give_up_tick_ = grid_.TickAt(grid_.TimeOfTick(last_tick_) + kPrepareLimitNs);
      return S_OK;
    case ClvPlaybackPreparing:
      return state == ClvPlaybackPreparing ? S_OK : CLV_E_NOT_READY;
    case ClvPlaybackStopped:
    case ClvPlaybackPaused:
    case ClvPlaybackPlaying:
      if (state == ClvPlaybackPreparing) return CLV_E_WRONG_STATE;
      if (state_ != state) revision_.fetch_add(1, std::memory_order_release);
      state_ = state;
      return S_OK;
    default:
      return CLV_E_WRONG_STATE;
  }
}

HRESULT CTimeline::AddSuperClipFragment(const std::shared_ptr<IClvSuperClip>& clip, double start,
                                        double length) {
  if (!clip) return E_POINTER;
  if (HRESULT f = InjectedFault(faults_, BoardCall::kAddSuperClipFragment); FAILED(f)) return f;
  auto own = std::dynamic_pointer_cast<CSuperClip>(clip);
  // A super clip counts its tape frames at the rate of the board that made it; one of a board
  // with another rate is another server's clip.
  if (!own || own->OutputRate() != rate_ || !std::isfinite(start) || !std::isfinite(length) ||
      !(length > 0.0)) {
    return E_INVALIDARG;
  }
  const std::int64_t frames = own->OutputFrames();
  const double from = start * rate_;
  const double to = (start + length) * rate_;
  // Half a frame of tolerance at both ends: the deck computes its stretches in floating point.
  if (!(from >= -0.5 && to <= static_cast<double>(frames) + 0.5)) return E_INVALIDARG;
  const std::int64_t first = std::clamp<std::int64_t>(std::llround(from), 0, frames);
  const std::int64_t end = std::clamp<std::int64_t>(std::llround(to), 0, frames);
  if (end <= first) return E_INVALIDARG;
  const ChangeNotice notice(*this);  // tells the watcher once the lock is let go
  std::lock_guard lock(mutex_);
  CatchUp();
  if (state_ == ClvPlaybackStopOnError) return CLV_E_WRONG_STATE;
  Append(Segment{std::move(own), first, end - first, false});
  return S_OK;
}

HRESULT CTimeline::Reset(std::int32_t mode) {
  if (mode != Realtime && mode != AllImages) return E_INVALIDARG;
  if (HRESULT f = InjectedFault(faults_, BoardCall::kReset); FAILED(f)) return f;
  const ChangeNotice notice(*this);  // tells the watcher once the lock is let go
  std::lock_guard lock(mutex_);
  CatchUp();
  revision_.fetch_add(1, std::memory_order_release);
  mode_ = mode;
  state_ = ClvPlaybackEmpty;
  queue_.clear();
  offset_ = 0;
  pending_ = 0;
  showing_ = false;
  started_ = false;
  done_ = false;
  return S_OK;
}

HRESULT CTimeline::get_Mode(std::int32_t* mode) {
  if (mode == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  *mode = mode_;
  return S_OK;
}

HRESULT CTimeline::get_QueuedTime(double* seconds) {
  if (seconds == nullptr) return E_POINTER;
  if (HRESULT f = InjectedFault(faults_, BoardCall::kGetQueuedTime); FAILED(f)) return f;
  std::lock_guard lock(mutex_);
  CatchUp();
  // k: pictures queued after the one on the output (before preparation the first queued one
  // counts as that picture).
  const std::int64_t after = showing_ ? pending_ : pending_ - 1;
  const bool over = showing_ ? done_ : pending_ == 0;
  if (after <= 0 && over) {
    *seconds = 0.0;
  } else {
    const double k = static_cast<double>(std::max<std::int64_t>(after, 0));
    *seconds = (mode_ == Realtime ? k + 1.5 : k + 0.25) / rate_;
  }
  return S_OK;
}

HRESULT CTimeline::HoldLastFrame(double seconds) {
  if (!std::isfinite(seconds) || !(seconds > 0.0)) return E_INVALIDARG;
  const std::int64_t periods =
      std::max<std::int64_t>(1, std::llround(std::fmin(seconds * rate_, 1e12)));
  const ChangeNotice notice(*this);  // tells the watcher once the lock is let go
  std::lock_guard lock(mutex_);
  CatchUp();
  if (state_ == ClvPlaybackStopOnError || queue_.empty()) return CLV_E_WRONG_STATE;
  const Segment& last = queue_.back();
  const std::int64_t frame = showing_ && pending_ == 0 ? CurrentFrame() : last.Last();
  Append(Segment{last.clip, frame, periods, true});
  return S_OK;
}

HRESULT CTimeline::SetSourceRect(std::int32_t x, std::int32_t y, std::int32_t width,
                                 std::int32_t height) {
  if (width < 1 || height < 1) return E_INVALIDARG;
  const ChangeNotice notice(*this);  // tells the watcher once the lock is let go
  std::lock_guard lock(mutex_);
  revision_.fetch_add(1, std::memory_order_release);
  source_rect_ = Rect{x, y, width, height};
  return S_OK;
}

void CTimeline::EnterStopOnError() {
  const ChangeNotice notice(*this);  // tells the watcher once the lock is let go
  std::lock_guard lock(mutex_);
  CatchUp();
  revision_.fetch_add(1, std::memory_order_release);
  state_ = ClvPlaybackStopOnError;
}

std::int64_t CTimeline::FrameOnOutput() {
  std::lock_guard lock(mutex_);
  CatchUp();
  return last_frame_;
}

std::vector<CTimeline::TickPicture> CTimeline::OutputSince(std::int64_t after_tick) {
  std::lock_guard lock(mutex_);
  CatchUp();
  std::vector<TickPicture> pictures;
  for (const TickPicture& entry : history_) {
    if (entry.tick > after_tick) pictures.push_back(entry);
  }
  return pictures;
}

CTimeline::Outlook CTimeline::Upcoming(std::size_t max) {
  std::lock_guard lock(mutex_);
  CatchUp();
  Outlook outlook;
  outlook.on_output = TapePicture{last_tape_, last_frame_};
  outlook.advancing = state_ == ClvPlaybackPlaying && showing_;
  outlook.queue_to_come = !showing_ && !queue_.empty();
  // Before a queued picture is shown, the whole queue is still to come.
  std::int64_t offset = showing_ ? offset_ + 1 : 0;
  for (const Segment& segment : queue_) {
    for (std::int64_t i = offset; i < segment.count && outlook.next.size() < max; ++i) {
      outlook.next.push_back(TapePicture{segment.clip, segment.PictureAt(i)});
    }
    if (outlook.next.size() >= max) break;
    offset = 0;
  }
  return outlook;
}

CTimeline::Rect CTimeline::SourceRect() const {
  std::lock_guard lock(mutex_);
  return source_rect_;
}

}  // namespace vxr
