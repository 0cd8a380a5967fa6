#include "vboard/board_monitor.h"

#include <algorithm>
#include <cstdio>

#include "vboard/super_clip.h"

namespace vxr {
namespace {

constexpr std::int32_t kRoutingWindowBit = 0x02;  // the board window feeds the output

std::string FileName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Placement PlaceMaterial(const BoardResources& resources, const CTimeline::Rect& source,
                        const OutputFormat& format, int width, int height) {
  Placement placement{format.width, format.height, 0, 0};
  const auto routing = resources.properties.find(kPropertyRouting);
  const bool window = resources.acquired.count(kResourceWindow) != 0 &&
                      resources.rect.width > 0 && routing != resources.properties.end() &&
                      (routing->second & kRoutingWindowBit) != 0;
  if (window) {
    placement.x = resources.rect.x;
    placement.y = resources.rect.y;
  } else if (source.width > 0 && source.height > 0) {
    placement.x = source.x;
    placement.y = source.y;
  } else {
    placement.x = (width - format.width) / 2;
    placement.y = (height - format.height) / 2;
  }
  return placement;
}

void ComposeOutput(const Picture* material, const Placement& placement,
                   std::vector<std::uint32_t>* output) {
  const int width = std::max(placement.output_width, 0);
  const int height = std::max(placement.output_height, 0);
  output->assign(static_cast<std::size_t>(width) * height, 0xff000000u);
  if (material == nullptr || material->width < 1 || material->height < 1 ||
      material->pixels.size() <
          static_cast<std::size_t>(material->width) * static_cast<std::size_t>(material->height)) {
    return;
  }
  // The output columns and rows that land inside the material, in 64 bits: offsets come from
  // the player and may be anything.
  const std::int64_t x0 = std::max<std::int64_t>(0, -static_cast<std::int64_t>(placement.x));
  const std::int64_t x1 = std::min<std::int64_t>(width, std::int64_t{material->width} - placement.x);
  const std::int64_t y0 = std::max<std::int64_t>(0, -static_cast<std::int64_t>(placement.y));
  const std::int64_t y1 =
      std::min<std::int64_t>(height, std::int64_t{material->height} - placement.y);
  if (x1 <= x0 || y1 <= y0) return;
  for (std::int64_t y = y0; y < y1; ++y) {
    const std::uint32_t* from = material->pixels.data() +
                                (y + placement.y) * material->width + (x0 + placement.x);
    std::copy(from, from + (x1 - x0), output->data() + y * width + x0);
  }
}

MonitorShowed GradeTick(const TickTiming& timing) {
  const std::int64_t frame_end = timing.tick_ns + timing.period_ns;
  if (timing.reached_ns > frame_end) return MonitorShowed::kLate;
  if (timing.handed == timing.wanted && timing.ready_ns <= frame_end) {
    return MonitorShowed::kRightPicture;
  }
  return MonitorShowed::kOtherPicture;
}

CBoardMonitor::CBoardMonitor(CSoftwareBoard& board, DecoderLimits limits, int board_index)
    : board_(board),
      board_index_(board_index >= 0 ? board_index : board.config().board_count - 1),
      decoder_(
          [&board, index = board_index_](std::size_t max) {
            const std::shared_ptr<CTimeline> timeline = board.Timeline(index);
            return timeline ? timeline->Upcoming(max) : CTimeline::Outlook{};
          },
          limits) {
  view_.placement = Placement{board.config().format.width, board.config().format.height, 0, 0};
  view_.title = Title(nullptr, -1, -1);
  board_.SetMonitor(board_index_, [this](const OutputFrame& frame,
                                         const std::shared_ptr<CSuperClip>& tape) {
    return Show(frame, tape);
  });
}

CBoardMonitor::~CBoardMonitor() { board_.SetMonitor(board_index_, nullptr); }

CBoardMonitor::View CBoardMonitor::Current() const {
  std::lock_guard lock(mutex_);
  return view_;
}

CBoardMonitor::Counts CBoardMonitor::counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

void CBoardMonitor::SetListener(std::function<void()> listener) {
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
    // the output. The window goes on with what it has until the newest tick.
    std::lock_guard lock(mutex_);
    ++counts_.ticks;
    ++counts_.late;
    return MonitorShowed::kLate;
  }
  const CTapeDecoder::Found found =
      blank ? CTapeDecoder::Found{} : decoder_.Lookup(tape.get(), frame.tape_frame);
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
  const std::shared_ptr<CTimeline> timeline = board_.Timeline(board_index_);
  view.placement = PlaceMaterial(board_.Resources(board_index_),
                                 timeline ? timeline->SourceRect() : CTimeline::Rect{},
                                 board_.config().format,
                                 view.picture ? view.picture->width : 0,
                                 view.picture ? view.picture->height : 0);
  view.title = Title(tape.get(), view.shown, view.wanted);
  timing.handed = view.shown;
  {
    std::lock_guard lock(mutex_);
    view_ = std::move(view);
    tape_ = std::move(shown_tape);
  }
  {
    std::lock_guard lock(listener_mutex_);
    if (listener_) listener_();
  }
  // Handed over: the view is the window's to take, and the window has been told.
  timing.ready_ns = board_.NowNs();
  const MonitorShowed showed = GradeTick(timing);
  {
    std::lock_guard lock(mutex_);
    ++counts_.ticks;
    ++(showed == MonitorShowed::kRightPicture ? counts_.right : counts_.missed);
    if (view_.tick == frame.tick) view_.right = showed == MonitorShowed::kRightPicture;
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
