#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "player/clv_timeline.h"
#include "vboard/server/board_clock.h"
#include "vboard/server/fault_injector.h"
#include "vboard/server/frame_grid.h"
#include "vboard/server/super_clip.h"

namespace vxr {

// The software board's timeline. Its state is a function of the board clock: every call first
// brings it up to the present, one output tick at a time, so that with a stepped clock every
// frame boundary is exact and with the steady clock the output thread only samples it.
//
// Per output tick:
//   preparing:  from the kPrepareTicks-th tick after put_State(1) on, at the first tick where
//               the first queued picture is ready to show (always, without a ready check), and
//               the one queued after it too or kNextPictureTicks have passed since the first was
//               ready, and in real time the kReverseStartFrames tape frames before the first
//               and the queued ones up to kForwardStartFrames after it decoded too or
//               kBackPicturesTicks passed, the timeline turns stopped and the
//               first picture goes on the output (a motion started the moment it is ready shows
//               the next one first, or in reverse the ones before it); a picture not
//               ready kPrepareLimitNs after put_State(1) stops the timeline on error. A first
//               queued picture that is already on the output and ready, with the next one ready,
//               makes put_State(1) stop the timeline at once: there is nothing to prepare;
//   playing:    the first tick after play starts begins the period of the picture on the
//               output; each later tick shows the next queued picture, or, with none left,
//               ends the last one's period (the picture stays);
//   otherwise:  nothing moves.
class CTimeline : public IClvTimeline {
 public:
  static constexpr std::int64_t kPrepareTicks = 1;
  // Ticks preparing waits, once its first picture is ready, for the one queued after it.
  static constexpr std::int64_t kNextPictureTicks = 3;
  // A cue (a play queued in real time) is ready when a motion started at once would find its
  // first pictures decoded: this many tape frames before the first queued one (a reverse
  // motion's first ticks), and the queued ones up to kForwardStartFrames after it (a forward
  // motion's, its decoder then reading on from there), waited for kBackPicturesTicks at the most
  // once the first is ready (a group of pictures away on a long group, they would not come soon).
  static constexpr std::int64_t kReverseStartFrames = 5;
  static constexpr std::int64_t kForwardStartFrames = 3;
  static constexpr std::int64_t kBackPicturesTicks = 8;
  // How long preparing waits for its first picture before the board gives up (a damaged tape).
  static constexpr std::int64_t kPrepareLimitNs = 5'000'000'000;
  static constexpr std::size_t kHistoryTicks = 512;

  struct Rect {
    std::int32_t x = 0, y = 0, width = 0, height = 0;
  };
  // What the output showed at one tick; tape_frame -1 when no picture was ever shown.
  struct TickPicture {
    std::int64_t tick = 0;
    std::int64_t tape_frame = -1;
    std::shared_ptr<CSuperClip> tape;  // the tape that picture belongs to
  };
  // A frame of a tape (super clip); frame -1 for none.
  struct TapePicture {
    std::shared_ptr<CSuperClip> tape;
    std::int64_t frame = -1;
  };
  // What the output shows now and the pictures queued after it, in showing order.
  struct Outlook {
    TapePicture on_output;
    std::vector<TapePicture> next;
    // Whether next goes on the output a picture a tick from the coming tick (playing), or the
    // output stays where it is until the state changes; unknown where no timeline says.
    std::optional<bool> advancing;
    // No queued picture is on the output yet (preparing): next's first is where it goes.
    bool queue_to_come = false;
  };

  // What a ready check asks of a picture: that it can go on the output now, or only that it is
  // decoded (one a reverse motion from a cue shows in its first ticks).
  enum class Need { kShow, kDecoded };
  // Whether a frame of a tape, framed by the source rectangle given, is ready as need says.
  // Asked under the timeline's lock at the ticks of preparing and at put_State(1) (see above): it
  // must answer at once, never wait, and never call the timeline.
  using ReadyCheck = std::function<bool(const std::shared_ptr<CSuperClip>& tape, std::int64_t frame,
                                        const Rect& source_rect, Need need)>;

  CTimeline(std::shared_ptr<const IBoardClock> clock, FrameGrid grid);

  HRESULT get_State(std::int32_t* state) override;
  HRESULT put_State(std::int32_t state) override;
  HRESULT AddSuperClipFragment(const std::shared_ptr<IClvSuperClip>& clip, double start,
                               double length) override;
  HRESULT Reset(std::int32_t mode) override;
  HRESULT get_Mode(std::int32_t* mode) override;
  HRESULT get_QueuedTime(double* seconds) override;
  HRESULT HoldLastFrame(double seconds) override;
  HRESULT SetSourceRect(std::int32_t x, std::int32_t y, std::int32_t width,
                        std::int32_t height) override;

  // Board side. A failure of the board: the timeline stops on error (state 5) until Reset.
  void EnterStopOnError();
  // The faults tests ask of this timeline; set before the timeline is handed out.
  void SetFaultInjector(std::shared_ptr<CFaultInjector> faults) { faults_ = std::move(faults); }
  // Who says when the first queued picture is ready; set before the timeline is handed out.
  void SetReadyCheck(ReadyCheck check) { ready_check_ = std::move(check); }
  // The tape frame on the output now, -1 for none.
  std::int64_t FrameOnOutput();
  // Brings the timeline to the present and gives the pictures of the ticks after after_tick
  // (at most the last kHistoryTicks of them).
  std::vector<TickPicture> OutputSince(std::int64_t after_tick);
  Rect SourceRect() const;
  // Brings the timeline to the present and tells what the output shows and, at the most max
  // of, the pictures queued after it (those the output would show next while playing).
  Outlook Upcoming(std::size_t max);
  const FrameGrid& grid() const { return grid_; }
  // Changes whenever the queue, the state or the source rectangle is changed by a call (not by
  // the clock).
  std::uint64_t Revision() const { return revision_.load(std::memory_order_acquire); }
  // Called on the caller's thread, outside the timeline's lock, after every call that changed
  // the queue, the state or the source rectangle (ticks do not call it). It must not wait nor
  // call the timeline. Empty to stop; once SetWatcher returns, no call of the previous watcher
  // is running.
  void SetWatcher(std::function<void()> watcher);

 private:
  // A run of queued pictures: count periods showing first, first + 1, ... or, held, first again.
  struct Segment {
    std::shared_ptr<CSuperClip> clip;
    std::int64_t first = 0;
    std::int64_t count = 0;
    bool held = false;
    std::int64_t PictureAt(std::int64_t offset) const { return held ? first : first + offset; }
    std::int64_t Last() const { return PictureAt(count - 1); }
  };

  // Tells the watcher, when it goes, if the timeline changed since it was made. Made before the
  // lock is taken, so that it goes after the lock is let go.
  class ChangeNotice {
   public:
    explicit ChangeNotice(CTimeline& timeline)
        : timeline_(timeline), before_(timeline.Revision()) {}
    ~ChangeNotice();
    ChangeNotice(const ChangeNotice&) = delete;
    ChangeNotice& operator=(const ChangeNotice&) = delete;

   private:
    CTimeline& timeline_;
    const std::uint64_t before_;
  };

  // All below run with mutex_ held.
  void CatchUp();
  bool Moving() const;
  void Tick(std::int64_t tick);
  // Preparing, at a tick from ready_tick_ on: ready, still waiting, or given up.
  void Prepare(std::int64_t tick);
  // Whether the first queued picture is the one on the output; whether it is ready to show.
  bool FirstQueuedIsOnOutput() const;
  bool FirstQueuedReady() const;
  // Whether the picture queued after the first is ready to show (none queued: ready).
  bool NextQueuedReady() const;
  // In real time, whether the kReverseStartFrames tape frames before the first queued picture
  // (those before the tape's start need nothing) and the queued ones after its next up to
  // kForwardStartFrames are decoded.
  bool PicturesAroundDecoded() const;
  void ShowNext();
  // The first queued picture goes on the output and the timeline takes state.
  void BecomeReady(std::int32_t state);
  void Append(Segment segment);
  std::int64_t CurrentFrame() const;

  const std::shared_ptr<const IBoardClock> clock_;
  const FrameGrid grid_;
  const double rate_;
  std::shared_ptr<CFaultInjector> faults_;  // set once, before the timeline is shared
  ReadyCheck ready_check_;                  // set once, before the timeline is shared
  std::atomic<std::uint64_t> revision_{0};
  std::mutex watcher_mutex_;  // guards watcher_; held while it runs
  std::function<void()> watcher_;

  mutable std::mutex mutex_;  // guards everything below
  std::int32_t state_ = ClvPlaybackEmpty;
  std::int32_t mode_ = Realtime;
  std::deque<Segment> queue_;     // front holds the picture on the output while showing_
  std::int64_t offset_ = 0;       // the current picture's place in queue_.front()
  std::int64_t pending_ = 0;      // periods queued after the current picture (all, if !showing_)
  bool showing_ = false;          // a queued picture is on the output
  bool started_ = false;          // its period began at a tick while playing
  bool done_ = false;             // the last picture has had its period
  std::int64_t last_frame_ = -1;  // the picture on the output when nothing queued is shown
  std::shared_ptr<CSuperClip> last_tape_;  // the tape of last_frame_
  std::int64_t last_tick_;                 // the latest tick accounted for
  std::int64_t ready_tick_ = 0;            // when preparing may end
  std::int64_t give_up_tick_ = 0;          // when preparing without a picture fails
  std::int64_t first_ready_tick_ = -1;     // preparing: when its first picture was ready
  std::deque<TickPicture> history_;
  Rect source_rect_;
};

}  // namespace vxr
