#pragma once

#include <cstdint>
#include <memory>

#include "platform/hresult.h"
#include "player/clv_results.h"
#include "player/clv_super_clip.h"

namespace vxr {

// Timeline states (get_State / put_State).
enum ClvPlaybackState : std::int32_t {
  ClvPlaybackEmpty = 0,        // after Reset: nothing prepared (stretches may be queued)
  ClvPlaybackPreparing = 1,    // readying the queue; the timeline leaves it by itself for 2
  ClvPlaybackStopped = 2,      // ready, the first queued picture (or the last shown) on output
  ClvPlaybackPaused = 3,       // holding the picture on output
  ClvPlaybackPlaying = 4,      // showing the queue, one picture per output frame
  ClvPlaybackStopOnError = 5,  // stopped by a failure of the board; only Reset leaves it
};

// Timeline modes (Reset / get_Mode).
enum ClvTimelineMode : std::int32_t {
  Realtime = 0,   // the queued stretches are played in real time
  AllImages = 1,  // every queued picture is shown for its length, one output frame
};

// The board's playback timeline (IClvPlayServer::CreateAVTimeline). It shows a queue of pictures
// on the board's output, one picture per output frame while playing; with nothing left to show,
// the last picture stays on the output (also across Reset).
//
// Position from get_QueuedTime alone (rate = output frames per second, k = pictures queued
// after the one on the output):
//   Realtime:  queued time = (k + 1.5) / rate, so that frame count - trunc(t x rate) names the
//              tape frame on the output when the whole rest of the tape was queued;
//   AllImages: queued time = (k + 0.25) / rate, so that trunc(t x rate + 0.5) = k;
//   both:      0 once the last picture has had its frame period (and while nothing is queued).
// Both values sit well inside their intervals, so floating-point rounding at 30000/1001 cannot
// move the result across a frame boundary.
//
// Every call may be made from any thread.
class IClvTimeline {
 public:
  virtual ~IClvTimeline() = default;

  // E_POINTER for null.
  virtual HRESULT get_State(std::int32_t* state) = 0;

  // Changes the state. Accepted:
  //   0 -> 1 with material queued (the timeline turns 2 by itself once ready);
  //   0 -> 2 or 3 with material queued (readied at once, the first picture on the output);
  //   1 -> 1 (no change);
  //   2, 3, 4 -> 2, 3 or 4 (stop, pause, play; stopping keeps the position).
  // Answers: E_INVALIDARG for 0, 5 or a value outside 0..5 (only Reset empties, only a failure
  // stops on error); CLV_E_NOT_READY for 2, 3 or 4 while preparing; CLV_E_WRONG_STATE for
  // anything else (1 from 2..4, anything from 0 with nothing queued, 4 from 0, every change
  // in state 5).
  virtual HRESULT put_State(std::int32_t state) = 0;

  // Appends the stretch [start, start + length) seconds of the super clip to the queue.
  // The stretch is rounded to whole output frames; half a frame of tolerance is allowed at both
  // ends of the material. E_POINTER for a null clip; E_INVALIDARG for a clip of another server,
  // a stretch outside the material, a length that rounds to no frame, or a value that is not
  // finite; CLV_E_WRONG_STATE in state 5.
  virtual HRESULT AddSuperClipFragment(const std::shared_ptr<IClvSuperClip>& clip, double start,
                                       double length) = 0;

  // Discards every queued picture and enters mode (Realtime or AllImages); the timeline is
  // empty in state 0 afterwards, from any state, 5 included. E_INVALIDARG for another mode
  // (nothing changes then).
  virtual HRESULT Reset(std::int32_t mode) = 0;

  // E_POINTER for null.
  virtual HRESULT get_Mode(std::int32_t* mode) = 0;

  // Seconds of queued material not yet shown, as defined above. E_POINTER for null.
  virtual HRESULT get_QueuedTime(double* seconds) = 0;

  // Keeps the last queued picture (the one on the output when nothing is queued) on the output
  // for seconds longer, rounded to whole output frames, at least one. E_INVALIDARG for a value
  // that is not finite or not above 0; CLV_E_WRONG_STATE when nothing was queued since Reset, or in
  // state 5.
  virtual HRESULT HoldLastFrame(double seconds) = 0;

  // The window of the material's picture that is shown. E_INVALIDARG for a width or height
  // below 1.
  virtual HRESULT SetSourceRect(std::int32_t x, std::int32_t y, std::int32_t width,
                                std::int32_t height) = 0;
};

}  // namespace vxr
