// The transport state machine: the timeline driven like a tape transport in real-time mode
// (play, pause, cue), and the position worked out from how much queued material is left.
#include <cmath>

#include "player/clvr_player.h"
#include "protocol/status_bits.h"

namespace vxr {

std::int32_t CClvrPlayer::GetState() {
  std::int32_t state = ClvPlaybackEmpty;
  const HRESULT hr = m_TimeLine ? m_TimeLine->get_State(&state) : E_POINTER;
  if (FAILED(hr)) {
    // Queries run on every thread (the time sense among them), so only a failure is kept as
    // the last result; a success must not wipe out the failure of a command in progress.
    m_last_result.store(hr);
    // A timeline that cannot tell its state is treated as stopped on an error: the executors
    // that recover from that state reset the timeline first.
    return ClvPlaybackStopOnError;
  }
  return state;
}

int CClvrPlayer::SetTimelineState(std::int32_t state) {
  const HRESULT hr = m_TimeLine ? m_TimeLine->put_State(state) : E_POINTER;
  m_last_result.store(hr);
  if (FAILED(hr)) {
    DebugReport("Err put_State()", " m_TimeLine->put_State(%d) returns 0x%X\n", state,
                static_cast<unsigned>(hr));
    return 0;
  }
  const bool lock = state == ClvPlaybackPlaying && IsRealtime();
  ChangeStatus([lock](std::uint8_t* s) { status::Servo_Lock.Set(s, lock); });
  return 1;
}

bool CClvrPlayer::IsRealtime() {
  std::int32_t mode = AllImages;
  if (!m_TimeLine || FAILED(m_TimeLine->get_Mode(&mode))) return false;
  return mode == Realtime;
}

int CClvrPlayer::ResetToRealtime() {
  const HRESULT hr = m_TimeLine ? m_TimeLine->Reset(Realtime) : E_POINTER;
  m_last_result.store(hr);
  if (FAILED(hr)) {
    DebugReport("Err PlayProc", " Reset to Realtime HRESULT 0x%x!!!\n", static_cast<unsigned>(hr));
    return 0;
  }
  return 1;
}

double CClvrPlayer::GetQueuedTime() {
  double seconds = 0.0;
  const HRESULT hr = m_TimeLine ? m_TimeLine->get_QueuedTime(&seconds) : E_POINTER;
  if (FAILED(hr)) {
    m_last_result.store(hr);
    return -1.0;
  }
  return seconds;
}

int CClvrPlayer::UpdatePosition() {
  if (!m_TimeLine) return 0;
  const std::int32_t state = GetState();
  if (IsRealtime()) {
    if (state != ClvPlaybackPaused && state != ClvPlaybackPlaying) return 1;
    double t = 0.0;
    if (FAILED(m_TimeLine->get_QueuedTime(&t))) return 0;
    const std::uint32_t count = m_frame_count.load();
    if (t <= 0.0) {
      m_current_frame.store(count > 0 ? count - 1 : 0);
    } else {
      const double n = std::trunc(t * m_output_rate);
      m_current_frame.store(static_cast<double>(count) > n ? count - static_cast<std::uint32_t>(n)
                                                           : 0);
    }
    return 1;
  }
  // In single-picture mode the picture on the output is read from the recent-frames queue. A
  // paused timeline counts too, so that a stop during jog or shuttle reports the frozen
  // picture and not the one computed a loop turn earlier.
  if (state != ClvPlaybackPlaying && state != ClvPlaybackPaused) return 1;
  double t = 0.0;
  if (FAILED(m_TimeLine->get_QueuedTime(&t))) return 0;
  const double n = std::trunc(t * m_output_rate + 0.5);
  if (n >= 0.0 && n < m_queue_sz) {
    m_current_frame.store(m_queue[m_queue_sz - 1 - static_cast<int>(n)].load());
  }
  return 1;
}

int CClvrPlayer::add_TapeFrag(std::uint32_t fr1, std::uint32_t fr2) {
  const std::shared_ptr<IClvSuperClip> clip = SuperClip();
  if (!clip) return 0;
  const std::uint32_t last = m_frame_last.load();
  if (fr1 > last) {
    DebugReport("Err add_TapeFrag",
                " Forced fr1=m_frame_last (fr1=%lu, fr2=%lu, m_frame_last=%lu)\n",
                static_cast<unsigned long>(fr1), static_cast<unsigned long>(fr2),
                static_cast<unsigned long>(last));
    fr1 = last;
  }
  if (fr2 > last) {
    DebugReport("Err add_TapeFrag",
                " Forced fr2=m_frame_last (fr1=%lu, fr2=%lu, m_frame_last=%lu)\n",
                static_cast<unsigned long>(fr1), static_cast<unsigned long>(fr2),
                static_cast<unsigned long>(last));
    fr2 = last;
  }
  if (fr2 < fr1) {
    DebugReport("Err add_TapeFrag", " Forced fr2=fr1 (fr1=%lu > fr2=%lu), m_frame_last=%lu\n",
                static_cast<unsigned long>(fr1), static_cast<unsigned long>(fr2),
                static_cast<unsigned long>(last));
    fr2 = fr1;
  }
  const double start = static_cast<double>(fr1) / m_output_rate;
  const double length = static_cast<double>(fr2 - fr1 + 1) / m_output_rate;
  const HRESULT hr = m_TimeLine ? m_TimeLine->AddSuperClipFragment(clip, start, length) : E_POINTER;
  m_last_result.store(hr);
  if (SUCCEEDED(hr)) return 1;
  if (hr == E_INVALIDARG) {
    DebugReport("Err add_TapeFrag",
                " AddSuperClipFragment() - The parameter is incorrect. fr1=%lu, fr2=%lu, "
                "m_frame_last=%lu\n",
                static_cast<unsigned long>(fr1), static_cast<unsigned long>(fr2),
                static_cast<unsigned long>(last));
  } else {
    DebugReport("Err add_TapeFrag", " AddSuperClipFragment() HRESULT 0x%x!!!\n",
                static_cast<unsigned>(hr));
  }
  return 0;
}

int CClvrPlayer::CueToFrame(std::uint32_t target) {
  std::int32_t s = GetState();
  if (s == ClvPlaybackPlaying) {
    if (!SetTimelineState(ClvPlaybackPaused)) return 0;
    if (CMD_was_set(0)) return 0;
    s = GetState();
  }
  if (target == m_current_frame.load() && IsRealtime()) {
    if (s == ClvPlaybackPaused) return 1;
    if (s == ClvPlaybackStopped) return SetTimelineState(ClvPlaybackPaused);
  }
  if (CMD_was_set(0)) return 0;
  if (!ResetToRealtime()) return 0;
  if (CMD_was_set(0)) return 0;
  if (!add_TapeFrag(target, m_frame_last.load())) return 0;
  if (!SetTimelineState(ClvPlaybackPreparing)) return 0;
  while (GetState() == ClvPlaybackPreparing) {
    if (CMD_was_set(10)) return 0;
  }
  if (!SetTimelineState(ClvPlaybackPaused)) return 0;
  // A target beyond the tape was queued as its last frame; the position says so too.
  const std::uint32_t last = m_frame_last.load();
  m_current_frame.store(target > last ? last : target);
  return 1;
}

int CClvrPlayer::Clvr_PAUSE() {
  const std::int32_t s = GetState();
  if (s == ClvPlaybackPlaying) {
    if (!SetTimelineState(ClvPlaybackPaused)) return 0;
    return UpdatePosition();
  }
  if (s == ClvPlaybackStopOnError) {
    DebugReport("Err Clvr_PAUSE", "ClvPlaybackStopOnError\n");
    return 0;
  }
  return 1;
}

int CClvrPlayer::Clvr_PLAY() {
  std::int32_t s = GetState();
  if (!IsRealtime() || s == ClvPlaybackStopOnError) {
    if (!ResetToRealtime()) return 0;
    if (CMD_was_set(0)) return 0;
    s = GetState();
  }
  if (s > ClvPlaybackStopOnError || s < ClvPlaybackEmpty) {
    DebugReport("Err Clvr_PLAY", " PLAY: Unknown ClvPlaybackState %d !!!\n", s);
    return 0;
  }
  switch (s) {
    case ClvPlaybackEmpty:
      if (!add_TapeFrag(m_current_frame.load(), m_frame_last.load())) return 0;
      if (CMD_was_set(0)) return 0;
      if (!SetTimelineState(ClvPlaybackPreparing)) return 0;
      [[fallthrough]];
    case ClvPlaybackPreparing:
      while (GetState() == ClvPlaybackPreparing) {
        if (CMD_was_set(30)) return 0;
      }
      [[fallthrough]];
    case ClvPlaybackStopped:
    case ClvPlaybackPaused:
      if (!SetTimelineState(ClvPlaybackPlaying)) return 0;
      if (CMD_was_set(0)) return 0;
      [[fallthrough]];
    case ClvPlaybackPlaying:
      while (GetQueuedTime() > 0.0) {
        if (CMD_was_set(30)) return 0;
      }
      // The tape has played to its end (or the timeline stopped answering).
      if (!SetTimelineState(ClvPlaybackPaused)) return 0;
      if (!UpdatePosition()) return 0;
      if (CMD_was_set(0)) return 0;
      return ResetToRealtime();
    default:
      DebugReport("Err Clvr_PLAY", "ClvPlaybackStopOnError !!!\n");
      return 0;
  }
}

}  // namespace vxr
