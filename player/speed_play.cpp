// Speed play: jog, shuttle, fast wind and rewind. The timeline runs in single-picture mode and
// the player queues, output frame by output frame, the tape frame that the commanded speed puts
// on screen, keeping at most three pictures ahead of the output.
#include <cmath>

#include "player/clvr_player.h"

namespace vxr {
namespace {

// The tape frame at virtual position x: 0 below the tape, at most the last frame.
std::uint32_t FrameAt(double x, std::uint32_t last) {
  if (x < 0.0) return 0;
  const double frame = std::trunc(x);
  return frame >= static_cast<double>(last) ? last : static_cast<std::uint32_t>(frame);
}

}  // namespace

int CClvrPlayer::Play_Speed(double new_speed, double time_stamp) {
  std::int32_t s = GetState();
  const bool realtime = IsRealtime();
  // A timeline left stopped or paused in single-picture mode (after a stop or a shuttle at
  // speed 0 that followed a speed play) starts again from its paused picture at the new speed,
  // like an entry from real-time mode; the old origin would make the picture jump.
  const bool restart = !realtime && (s == ClvPlaybackStopped || s == ClvPlaybackPaused);

  if (realtime || s == ClvPlaybackStopOnError || restart) {
    m_speed.store(new_speed);
    m_rate = new_speed * m_output_rate;
    m_origin_time = m_stopwatch.ElapsedSeconds();
    if (!restart && GetState() == ClvPlaybackPlaying) {
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
    m_origin = m_current_frame.load() + 0.5;
    m_origin += (m_stopwatch.ElapsedSeconds() - m_origin_time) * m_rate;
    const std::uint32_t f = m_origin < 0.0 ? 0 : static_cast<std::uint32_t>(std::trunc(
                                                     std::fmin(m_origin, 4294967295.0)));
    const std::uint32_t last = m_frame_last.load();
    if (m_origin > static_cast<double>(last)) m_origin = last;
    if (!add_TapeFrag(f, f)) return 0;
    m_next_position_valid = false;
    const std::uint32_t queued = f > last ? last : f;
    for (auto& entry : m_queue) entry.store(queued);
    SetTimelineState(ClvPlaybackPreparing);
    s = GetState();
    if (CMD_was_set(0)) return 0;
  } else if ((s == ClvPlaybackPreparing || s == ClvPlaybackPlaying) &&
             new_speed != m_speed.load()) {
    // The change counts from the moment the command was accepted; a stamp that is not later
    // than the origin time (accepted while the previous command was still entering) counts
    // from the origin time.
    const double stamp = time_stamp > m_origin_time ? time_stamp : m_origin_time;
    m_origin += (stamp - m_origin_time) * m_rate;
    m_speed.store(new_speed);
    m_rate = new_speed * m_output_rate;
    m_origin_time = stamp;
  }

  while (s == ClvPlaybackPreparing) {
    if (CMD_was_set(m_quarter_frame_wait)) return 0;
    s = GetState();
  }
  if (s == ClvPlaybackStopped || s == ClvPlaybackPaused) {
    if (!SetTimelineState(ClvPlaybackPlaying)) return 0;
    if (CMD_was_set(0)) return 0;
    s = GetState();
  }
  if (s != ClvPlaybackPlaying) {
    DebugReport("Err Play_Speed", " Unexpected state %d.\n", s);
    return 0;
  }

  const bool reverse = m_speed.load() < 0.0;
  const double step = m_frame_duration * m_rate;
  const std::uint32_t last = m_frame_last.load();
  // Pictures are queued for the output frame in which they will be shown, one output frame
  // apart, so their positions advance by exactly one step per picture. The clock steers that
  // sequence: its lead, averaged over refills because a single reading is only good to half an
  // output frame, is taken up by at most a third of a step per picture once it passes half a
  // frame (after a speed change, a late wake-up), and an empty pipeline or a lead of several
  // steps starts the sequence again from the clock. Reading the clock afresh for every refill
  // instead would repeat or skip a picture whenever a refill falls early or late within its
  // output frame, and would show every picture two or three frames late.
  for (;;) {
    const std::uint32_t current = m_current_frame.load();
    if (reverse ? current == 0 : current == last) {
      m_speed.store(0.0);
      m_rate = 0.0;
      m_origin = current;
      return 1;
    }

    const double queued = GetQueuedTime();
    if (queued < 0.0) {
      // The timeline cannot say how much it holds: queue nothing blind (the queue would grow
      // without bound) and ask again in half a frame. The recent-frames queue is left alone.
      if (CMD_was_set(m_half_frame_wait)) return 0;
      continue;
    }
    int n = static_cast<int>(std::trunc(queued * m_output_rate + 0.5));
    if (n >= m_queue_sz) {
      if (n > m_queue_sz) {
        DebugReport("Info Play_Speed", " (n=%d) >= (m_queue_sz=%d) !\n", n, m_queue_sz);
      }
      if (CMD_was_set(m_half_frame_wait)) return 0;
      continue;
    }

    UpdatePosition();
    for (int i = 0; i < n; ++i) m_queue[i].store(m_queue[m_queue_sz - n + i].load());

    // Picture n goes on the output after the one shown now and the n still queued: about
    // n + 0.5 output frames from now.
    const double shown_at = m_stopwatch.ElapsedSeconds() + (n + 0.5) * m_frame_duration;
    const double clock_x = m_origin + (shown_at - m_origin_time) * m_rate;
    const double drift = clock_x - m_next_position;
    if (!m_next_position_valid || n == 0 ||
        std::fabs(drift) > std::fmax(2.0, 4.0 * std::fabs(step))) {
      m_next_position = clock_x;
      m_next_position_valid = true;
      m_position_drift = 0.0;
    } else {
      m_position_drift = 0.75 * m_position_drift + 0.25 * drift;
      if (std::fabs(m_position_drift) > 0.5) {
        const double most = std::fabs(step) / 3.0;
        const double take = std::fmax(-most, std::fmin(most, m_position_drift));
        m_next_position += take;
        m_position_drift -= take;
      }
    }
    double x = m_next_position;
    for (int i = n; i < m_queue_sz; ++i) {
      const std::uint32_t e = FrameAt(x, last);
      m_queue[i].store(e);
      const std::uint32_t before = i > 0 ? m_queue[i - 1].load() : m_current_frame.load();
      if (e == before) {
        const HRESULT hr = m_TimeLine->HoldLastFrame(m_frame_duration);
        m_last_result.store(hr);
        if (FAILED(hr)) return 0;
      } else if (!add_TapeFrag(e, e)) {
        return 0;
      }
      x += step;
    }
    m_next_position = x;
    if (CMD_was_set(m_three_quarter_frame_wait)) return 0;
  }
}

}  // namespace vxr
