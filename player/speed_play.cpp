// Speed play: jog, shuttle, fast wind and rewind. The timeline runs in single-picture mode and
// the player queues, output frame by output frame, the tape frame that the speed planner puts
// there, keeping at most three pictures ahead of the output.
#include <cmath>

#include "player/clvr_player.h"

namespace vxr {

static_assert(CClvrPlayer::m_queue_sz == CSpeedPlanner::kPipeline,
              "the planner plans as many pictures ahead as the player keeps queued");

// The command's time stamp is not used: a change of speed continues from the last picture
// queued, at its show time. Counting it from the stamp would throw the picture back behind the
// pictures still queued at the old speed.
int CClvrPlayer::Play_Speed(double new_speed, double /*time_stamp*/) {
  std::int32_t s = GetState();
  const bool realtime = IsRealtime();
  // A timeline left in single-picture mode but not moving starts again from its picture at the
  // new speed, as from real-time mode: paused (after a stop, or a shuttle at speed 0 that
  // followed a speed play), or empty (an entry whose queuing or start failed). Stopped is the
  // entry's own timeline, ready to start: a speed command that comes then only changes the
  // speed, or a wheel that turns faster than the timeline prepares would never move.
  const bool restart = !realtime && (s == ClvPlaybackEmpty || s == ClvPlaybackPaused);

  if (realtime || s == ClvPlaybackStopOnError || restart) {
    m_speed.store(new_speed);
    if (realtime && GetState() == ClvPlaybackPlaying) {
      if (!SetTimelineState(ClvPlaybackPaused)) return 0;
      if (!UpdatePosition()) return 0;
      if (new_speed == 0.0) return 0;
    }
    const HRESULT hr = m_TimeLine ? m_TimeLine->Reset(AllImages) : E_POINTER;
    m_last_result.store(hr);
    if (FAILED(hr)) {
      DebugReport("Err Play_Speed", " PLAY: Reset to AllImages HRESULT 0x%x!!!\n",
                  static_cast<unsigned>(hr));
      return 0;
    }
    const std::uint32_t last = m_frame_last.load();
    const std::uint32_t current = m_current_frame.load();
    const std::uint32_t f = current > last ? last : current;
    if (!add_TapeFrag(f, f)) return 0;
    for (auto& entry : m_queue) entry.store(f);
    m_planner.Enter(new_speed, f + kMiddleOfFrame);
    if (!SetTimelineState(ClvPlaybackPreparing)) return 0;
    s = GetState();
    if (CMD_was_set(0)) return 0;
  } else if ((s == ClvPlaybackPreparing || s == ClvPlaybackStopped || s == ClvPlaybackPlaying) &&
             new_speed != m_planner.Speed()) {
    m_planner.ChangeSpeed(new_speed, m_stopwatch.ElapsedSeconds());
    m_speed.store(new_speed);
  }

  while (s == ClvPlaybackPreparing) {
    if (CMD_was_set(m_quarter_frame_wait)) return 0;
    s = GetState();
  }
  if (s == ClvPlaybackStopped || s == ClvPlaybackPaused) {
    if (!SetTimelineState(ClvPlaybackPlaying)) return 0;
    // The picture queued on entry is on the output from now on.
    m_planner.Begin(m_stopwatch.ElapsedSeconds());
    if (CMD_was_set(0)) return 0;
    s = GetState();
  }
  if (s != ClvPlaybackPlaying) {
    DebugReport("Err Play_Speed", " Unexpected state %d.\n", s);
    return 0;
  }

  const bool reverse = m_planner.Speed() < 0.0;
  const std::uint32_t last = m_frame_last.load();
  for (;;) {
    const std::uint32_t current = m_current_frame.load();
    if (reverse ? current == 0 : current == last) {
      m_planner.Halt(current);
      m_speed.store(0.0);
      return 1;
    }

    const double queued = GetQueuedTime();
    if (queued < 0.0) {
      // The timeline cannot say how much it holds: queue nothing blind (the queue would grow
      // without bound) and ask again in half a frame. The recent-frames queue is left alone.
      if (CMD_was_set(m_half_frame_wait)) return 0;
      continue;
    }
    const int n = static_cast<int>(std::trunc(queued * m_output_rate + 0.5));
    if (n >= m_queue_sz) {
      if (n > m_queue_sz) {
        DebugReport("Info Play_Speed", " (n=%d) >= (m_queue_sz=%d) !\n", n, m_queue_sz);
      }
      if (CMD_was_set(m_half_frame_wait)) return 0;
      continue;
    }

    UpdatePosition();
    for (int i = 0; i < n; ++i) m_queue[i].store(m_queue[m_queue_sz - n + i].load());

    std::uint32_t frames[m_queue_sz];
    m_planner.Refill(m_stopwatch.ElapsedSeconds(), n, last, frames);
    for (int i = n; i < m_queue_sz; ++i) {
      const std::uint32_t e = frames[i];
      const std::uint32_t before = i > 0 ? m_queue[i - 1].load() : m_current_frame.load();
      m_queue[i].store(e);
      if (e == before) {
        const HRESULT hr = m_TimeLine->HoldLastFrame(m_frame_duration);
        m_last_result.store(hr);
        if (FAILED(hr)) {
          DebugReport("Err Play_Speed", " HoldLastFrame() HRESULT 0x%x!!!\n",
                      static_cast<unsigned>(hr));
          return 0;
        }
      } else if (!add_TapeFrag(e, e)) {
        return 0;
      }
    }
    if (CMD_was_set(m_three_quarter_frame_wait)) return 0;
  }
}

}  // namespace vxr
