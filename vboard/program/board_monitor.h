#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vboard/media/movie_decoder.h"
#include "vboard/program/placement.h"
#include "vboard/program/tape_decoder.h"
#include "vboard/server/board_config.h"
#include "vboard/server/board_state.h"
#include "vboard/server/software_board.h"
#include "vboard/server/timeline.h"

namespace vxr {

// What the record says of one output tick of a watched board. The tick's frame runs from
// tick_ns to tick_ns + period_ns.
struct TickTiming {
  std::int64_t tick_ns = 0;
  std::int64_t period_ns = 0;
  std::int64_t reached_ns = 0;  // when the output thread took the tick
  std::int64_t wanted = -1;     // the tape frame on the output, -1 before any (black is right)
  std::int64_t handed = -1;     // the tape frame whose picture was handed to the sink, -1 black
  std::int64_t ready_ns = 0;    // when that picture had been decoded and handed over
  // The handed picture is the key frame the decoder shows for wanted while the output winds.
  bool key_frame = false;
};

// late: the output thread reached the tick after its frame had passed (nothing was handed for
// it); right picture: the wanted picture was decoded and handed over by the end of the tick's
// frame; key frame: in time, the key frame at or before the wanted picture stood for it (wind);
// other picture: anything else.
MonitorShowed GradeTick(const TickTiming& timing);

// The board's output monitor: at every output tick of a board it shows the picture of the tape
// frame on that board's output, placed as the board places it. It follows the output record and
// never holds it up: the tick only looks the picture up among those a CTapeDecoder has decoded
// ahead; when decoding has not kept up it shows the nearest picture it has and counts the tick as
// missed. A tick the output thread reached after its frame had passed is recorded late: the
// monitor hands nothing over for it. The record says for every tick what the monitor showed
// (GradeTick).
// It must be destroyed before the board.
class CBoardMonitor {
 public:
  struct Counts {
    std::int64_t ticks = 0;
    std::int64_t right = 0;   // ticks that showed exactly the picture on the output
    std::int64_t missed = 0;  // ticks that showed another picture, or black for want of one
    std::int64_t key = 0;     // ticks that showed the key frame at or before theirs (wind)
    std::int64_t late = 0;    // ticks the output thread reached after their frame had passed
  };
  // What the monitor shows now.
  struct View {
    std::int64_t tick = -1;
    std::int64_t wanted = -1;  // the tape frame on the output, -1 before any
    std::int64_t shown = -1;   // the tape frame whose picture is shown, -1 for black
    bool right = true;
    std::shared_ptr<const Picture> picture;  // null: black
    Placement placement;
    std::string title;  // tape, output format and timecode of the picture shown
  };

  // Watches board (the last board, the one the deck drives, when board < 0), and tells the
  // board when the picture its preparing waits for is ready to show. packet_hook: a test seam
  // of the decoder (CDecodeWorker::PacketHook).
  explicit CBoardMonitor(CSoftwareBoard& board, DecoderLimits limits = {}, int board_index = -1,
                         CTapeDecoder::PacketHook packet_hook = nullptr);
  // Detaches from the board, then stops the decoder.
  ~CBoardMonitor();
  CBoardMonitor(const CBoardMonitor&) = delete;
  CBoardMonitor& operator=(const CBoardMonitor&) = delete;

  View Current() const;
  Counts counts() const;
  // Called on the output thread for every tick of the watched board, with the tick (its monitor
  // word set) and the tape on the output, right after the monitor has chosen and graded the
  // tick's picture (Current() holds it). A tick the output thread reached after its frame had
  // passed comes with the word kLate, and Current() still holds the picture before it. It must
  // not wait. Empty to stop; once SetListener returns, no call of the previous listener is
  // running.
  using Listener =
      std::function<void(const OutputFrame& frame, const std::shared_ptr<CSuperClip>& tape)>;
  void SetListener(Listener listener);
  // Waits until the decoder has caught up with the output (tests, benchmarks).
  bool WaitDecoded(int timeout_ms) { return decoder_.WaitIdle(timeout_ms); }
  CTapeDecoder::Stats decoder_stats() const { return decoder_.stats(); }
  int board_index() const { return board_index_; }

 private:
  MonitorShowed Show(const OutputFrame& frame, const std::shared_ptr<CSuperClip>& tape);
  // The board's ready check: whether the frame's picture, framed as the board frames it with
  // that source rectangle, is converted to show, or only decoded, as need says (never waits,
  // never calls the timeline).
  bool Ready(const std::shared_ptr<CSuperClip>& tape, std::int64_t frame,
             const CTimeline::Rect& source_rect, CTimeline::Need need) const;
  // How the board frames the tape's pictures now (any thread).
  Framing CurrentFraming() const;
  Framing FramingOf(int board, const std::shared_ptr<CTimeline>& timeline) const;
  // Output thread: nudges the decoder at every change of the board's timeline.
  void Watch(const std::shared_ptr<CTimeline>& timeline);
  std::string Title(const CSuperClip* tape, std::int64_t shown, std::int64_t wanted) const;

  CSoftwareBoard& board_;
  const int board_index_;
  CTapeDecoder decoder_;
  const bool wake_on_changes_;
  std::weak_ptr<CTimeline> watched_;  // output thread (and the destructor, once detached)

  mutable std::mutex mutex_;  // guards view_, tape_ and counts_
  View view_;
  std::shared_ptr<CSuperClip> tape_;  // the tape of view_'s picture
  Counts counts_;

  std::mutex listener_mutex_;  // guards listener_; held while it runs
  Listener listener_;
};

}  // namespace vxr
