#include "vboard/program/board_monitor.h"

#include <algorithm>
#include <cstdio>

#include "vboard/server/super_clip.h"

namespace vxr {
namespace {

constexpr std::int64_t kIncompletePicture = -2;  // never a tape frame the output wants

std::string FileName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

MonitorShowed GradeTick(const TickTiming& timing) {
  const std::int64_t frame_end = timing.tick_ns + timing.period_ns;
  if (timing.reached_ns > frame_end) return MonitorShowed::kLate;
  if (timing.handed == timing.wanted && timing.ready_ns <= frame_end) {
    return MonitorShowed::kRightPicture;
  }
  if (timing.key_frame && timing.handed >= 0 && timing.handed <= timing.wanted &&
      timing.ready_ns <= frame_end) {
    return MonitorShowed::kKeyFrame;
  }
  return MonitorShowed::kOtherPicture;
}

CBoardMonitor::CBoardMonitor(CSoftwareBoard& board, DecoderLimits limits, int board_index,
                             CTapeDecoder::PacketHook packet_hook)
    : board_(board),
      board_index_(board_index >= 0 ? board_index : board.config().board_count - 1),
      decoder_(
          [&board, index = board_index_](std::size_t max) {
            const std::shared_ptr<CTimeline> timeline = board.Timeline(index);
            return timeline ? timeline->Upcoming(max) : CTimeline::Outlook{};
          },
          limits.WithBoardSettings(board.config()), [this] { return CurrentFraming(); },
          std::move(packet_hook)),
      wake_on_changes_(limits.wake_on_changes) {
  view_.placement = Placement{board.config().format.width, board.config().format.height, 0, 0};
  view_.title = Title(nullptr, -1, -1);
  board_.SetMonitor(board_index_,
                    [this](const OutputFrame& frame, const std::shared_ptr<CSuperClip>& tape) {
                      return Show(frame, tape);
                    });
  board_.SetReadyCheck(board_index_,
                       [this](const std::shared_ptr<CSuperClip>& tape, std::int64_t frame,
                              const CTimeline::Rect& rect,
                              CTimeline::Need need) { return Ready(tape, frame, rect, need); });
}

bool CBoardMonitor::Ready(const std::shared_ptr<CSuperClip>& tape, std::int64_t frame,
                          const CTimeline::Rect& source_rect, CTimeline::Need need) const {
  if (!tape || frame < 0) return true;  // black needs no decoding
  const Framing framing =
      vxr::FramingOf(board_.Resources(board_index_), source_rect, board_.config().format);
  if (need == CTimeline::Need::kDecoded) return decoder_.Decoded(tape.get(), frame, framing);
  return decoder_.Lookup(tape.get(), frame, &framing).exact;
}

Framing CBoardMonitor::CurrentFraming() const {
  return FramingOf(board_index_, board_.Timeline(board_index_));
}

Framing CBoardMonitor::FramingOf(int board, const std::shared_ptr<CTimeline>& timeline) const {
  return vxr::FramingOf(board_.Resources(board),
                        timeline ? timeline->SourceRect() : CTimeline::Rect{},
                        board_.config().format);
}

CBoardMonitor::~CBoardMonitor() {
  board_.SetReadyCheck(board_index_, nullptr);
  board_.SetMonitor(board_index_, nullptr);
  if (const std::shared_ptr<CTimeline> watched = watched_.lock()) watched->SetWatcher(nullptr);
}

void CBoardMonitor::Watch(const std::shared_ptr<CTimeline>& timeline) {
  if (!wake_on_changes_ || !timeline || timeline == watched_.lock()) return;
  if (const std::shared_ptr<CTimeline> old = watched_.lock()) old->SetWatcher(nullptr);
  // A cue reaches the decoder at once, not at the next tick.
  timeline->SetWatcher([this] { decoder_.Nudge(); });
  watched_ = timeline;
}

CBoardMonitor::View CBoardMonitor::Current() const {
  std::lock_guard lock(mutex_);
  return view_;
}

CBoardMonitor::Counts CBoardMonitor::counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

void CBoardMonitor::SetListener(Listener listener) {
  std::lock_guard lock(listener_mutex_);
  listener_ = std::move(listener);
}

MonitorShowed CBoardMonitor::Show(const OutputFrame& frame,
                                  const std::shared_ptr<CSuperClip>& tape) {
  TickTiming timing;
  timing.tick_ns = frame.steady_ns;
  timing.period_ns = board_.grid().TimeOfTick(frame.tick + 1) - frame.steady_ns;
  timing.reached_ns = frame.reached_ns;
  const bool blank = !tape || frame.tape_frame < 0;
  timing.wanted = blank ? -1 : frame.tape_frame;
  if (GradeTick(timing) == MonitorShowed::kLate) {
    decoder_.Seen(tape, frame.tape_frame);  // it still sets the pace of the read-ahead
    // Its frame is over: handing its picture over now would show it when it is no longer on
    // the output. The window goes on with what it has until the newest tick; the listener still
    // hears of the tick, so that a stream keeps one picture a tick.
    {
      std::lock_guard lock(mutex_);
      ++counts_.ticks;
      ++counts_.late;
    }
    OutputFrame late = frame;
    late.monitor = MonitorShowed::kLate;
    std::lock_guard lock(listener_mutex_);
    if (listener_) listener_(late, tape);
    return MonitorShowed::kLate;
  }
  const std::shared_ptr<CTimeline> timeline = board_.Timeline(board_index_);
  Watch(timeline);
  const Framing framing = FramingOf(board_index_, timeline);
  const CTapeDecoder::Found found =
      blank ? CTapeDecoder::Found{} : decoder_.Lookup(tape.get(), frame.tape_frame, &framing);
  decoder_.Seen(tape, frame.tape_frame);

  View view;
  view.tick = frame.tick;
  view.wanted = blank ? -1 : frame.tape_frame;
  std::shared_ptr<CSuperClip> shown_tape = tape;
  if (blank) {
    view.right = true;  // nothing was ever on the output: black is right
  } else if (found.picture) {
    view.picture = found.picture;
    view.shown = found.frame;
    view.right = found.exact;
  } else {
    // Nothing of this tape decoded yet: the picture shown so far stays, if it is of this tape.
    std::lock_guard lock(mutex_);
    view.right = false;
    if (tape_ == tape) {
      view.picture = view_.picture;
      view.shown = view_.shown;
    }
  }
  view.placement = framing.Place(view.picture ? view.picture->MaterialWidth() : 0,
                                 view.picture ? view.picture->MaterialHeight() : 0);
  view.title = Title(tape.get(), view.shown, view.wanted);
  // A picture cut for another window lacks part of what the output shows: it does not count
  // as the tick's picture.
  timing.handed = !view.right && view.shown == timing.wanted ? kIncompletePicture : view.shown;
  timing.key_frame = found.key_frame && view.picture == found.picture;
  MonitorShowed showed = MonitorShowed::kOtherPicture;
  {
    std::lock_guard lock(mutex_);
    // Handed over once the view holds it: the window takes it from there.
    timing.ready_ns = board_.NowNs();
    showed = GradeTick(timing);
    view.right = showed == MonitorShowed::kRightPicture;
    view_ = std::move(view);
    tape_ = std::move(shown_tape);
    ++counts_.ticks;
    ++(showed == MonitorShowed::kRightPicture ? counts_.right
       : showed == MonitorShowed::kKeyFrame   ? counts_.key
                                              : counts_.missed);
  }
  {
    OutputFrame graded = frame;
    graded.monitor = showed;
    std::lock_guard lock(listener_mutex_);
    if (listener_) listener_(graded, tape);
  }
  return showed;
}

std::string CBoardMonitor::Title(const CSuperClip* tape, std::int64_t shown,
                                 std::int64_t wanted) const {
  const OutputFormat& format = board_.config().format;
  const int fps = format.TimecodeFps();
  char rate[32];
  if (format.rate_den == 1) {
    std::snprintf(rate, sizeof rate, "%d", format.rate_num);
  } else {
    std::snprintf(rate, sizeof rate, "%.2f", format.FramesPerSecond());
  }
  const std::string name = tape ? FileName(tape->Source()) : std::string();
  std::string title = (name.empty() ? std::string("no tape") : name) + " \u2014 " + format.name +
                      " " + std::to_string(format.width) + "\u00d7" +
                      std::to_string(format.height) + " " + rate + " \u2014 " +
                      TimecodeText(shown, fps);
  if (shown != wanted) title += " (output at " + TimecodeText(wanted, fps) + ")";
  return title;
}

}  // namespace vxr
