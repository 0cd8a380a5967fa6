#include "player/clvr_player.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <system_error>

#include "platform/diagnostics.h"
#include "player/server_registry.h"
#include "protocol/status_bits.h"

namespace vxr {
namespace {

// How long the destructor gives the player thread to end after the quit command.
constexpr int kQuitWaitMs = 200;
// How long Initialize waits for the new thread to start serving, so that a command given right
// after start-up is not refused for want of a running thread.
constexpr int kThreadStartWaitMs = 1000;

int WaitMs(double numerator, double rate) { return static_cast<int>(numerator / rate + 0.5); }

}  // namespace

CClvrPlayer::CClvrPlayer() {
  ChangeStatus([](std::uint8_t* s) { status::Tape_OUT.Set(s, true); });
  for (auto& entry : m_queue) entry.store(0);
}

CClvrPlayer::~CClvrPlayer() {
  EndThread();

  if (m_play_server) FreeResources();
  m_board_resources.Detach();
  m_TimeLine.reset();
  m_play_server.reset();
  m_super_clip.reset();
  m_resource_holder.reset();
  m_frame_last.store(0);
}

void CClvrPlayer::EndThread() {
  if (!m_thread.joinable()) return;
  // Put in past the running flag: a thread that has not set it yet finds the quit when it starts
  // serving. Every wait of the thread is a wait for a command, so the quit reaches it; the server
  // objects must not go while it still uses them.
  Command quit;
  quit.code = kQuit;
  m_mailbox.Put(quit, m_stopwatch.ElapsedSeconds(), CCommandMailbox::Admission::kAlways);
  if (!m_thread_ended.Wait(kQuitWaitMs)) {
    DebugReport("Err ~CClvrPlayer", "Player thread still runs %d ms after quit; waiting\n",
                kQuitWaitMs);
  }
  m_thread.join();
}

void CClvrPlayer::DebugReport(const char* tag, const char* format, ...) {
  char text[100];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length < 0) return;
  DebugOutput(tag, text);
}

void CClvrPlayer::ReleaseServerObjects() {
  m_board_resources.Detach();
  m_TimeLine.reset();
  m_resource_holder.reset();
  m_play_server.reset();
}

HRESULT CClvrPlayer::Initialize() {
  char text[160];
  auto fail = [&](HRESULT result) {
    DebugReport("Err Initialize", "%s", text);
    ReleaseServerObjects();
    return result;
  };

  ReleaseServerObjects();

  HRESULT hr = CreateInstance(CLSCTX_ALL, &m_play_server);
  if (FAILED(hr)) {
    if (hr == REGDB_E_CLASSNOTREG) {
      std::snprintf(text, sizeof text, "\"ClvPlayServer\" class is not in registration database");
    } else {
      std::snprintf(text, sizeof text, "\"ClvPlayServer\" CoCreateInstance() error 0x%X",
                    static_cast<unsigned>(hr));
    }
    return fail(hr);
  }

  std::int32_t count = 0;
  hr = m_play_server->get_BoardsNumber(&count);
  m_board_index = count - 1;
  if (m_board_index < 0) {
    std::snprintf(text, sizeof text,
                  "CALVERA hardware board is not present?\n\"ClvPlayServer\" get_BoardsNumber() "
                  "return %d",
                  count);
    return fail(HRESULT_FROM_WIN32(ERROR_BAD_DEVICE));
  }
  if (FAILED(hr)) {
    ReleaseServerObjects();
    return hr;
  }

  hr = m_play_server->GetOutputFormat(m_board_index, &m_output_width, &m_output_height,
                                      &m_output_rate);
  if (FAILED(hr) || !(m_output_rate > 0.0)) {
    if (SUCCEEDED(hr)) hr = E_FAIL;
    std::snprintf(text, sizeof text,
                  "CALVERA hardware board #0 is not present?\n\"ClvPlayServer\" GetOutputFormat() "
                  "error 0x%X",
                  static_cast<unsigned>(hr));
    return fail(hr);
  }

  m_board_resources.Attach(m_play_server, m_board_index, m_output_width, m_output_height);
  m_frame_duration = 1.0 / m_output_rate;
  m_planner.SetOutputRate(m_output_rate);
  m_quarter_frame_wait = WaitMs(250.0, m_output_rate);
  m_half_frame_wait = WaitMs(500.0, m_output_rate);
  m_three_quarter_frame_wait = WaitMs(750.0, m_output_rate);

  if (m_output_rate == 25.0) {
    m_device_type[0] |= 0x01;
    TimecodeRate.store(25);
  } else {
    m_device_type[0] &= static_cast<std::uint8_t>(~0x01);
    TimecodeRate.store(30);
  }

  hr = CreateInstance(CLSCTX_INPROC_SERVER, &m_resource_holder);
  if (FAILED(hr)) {
    std::snprintf(text, sizeof text, "\"ClvResourceHolder\" CoCreateInstance() error 0x%X",
                  static_cast<unsigned>(hr));
    return fail(hr);
  }

  hr = m_play_server->CreateAVTimeline(m_board_index, kDeckVideoBufferBytes, kDeckAudioBufferBytes,
                                       kDeckDataBufferBytes, 0, &m_TimeLine);
  if (FAILED(hr) || !m_TimeLine) {
    if (SUCCEEDED(hr)) hr = E_POINTER;
    std::snprintf(text, sizeof text, "\"ClvPlayServer\" CreateAVTimeline() error 0x%X",
                  static_cast<unsigned>(hr));
    return fail(hr);
  }

  try {
    m_thread = std::thread(&CClvrPlayer::PlayThreadProc, this);
  } catch (const std::system_error& error) {
    std::snprintf(text, sizeof text, "\nAfxBeginThread(PlayThreadProc) failed\n");
    return fail(error.code().value() != 0
                    ? HRESULT_FROM_WIN32(static_cast<std::uint32_t>(error.code().value()))
                    : E_FAIL);
  }
  m_thread_started.Wait(kThreadStartWaitMs);
  return 0;
}

// --- Queries ---

int CClvrPlayer::TapeOutState() {
  return m_status.Read([](const std::uint8_t* s) { return (s[0] >> 5) & 7; });
}

int CClvrPlayer::IsNotPlaying() { return GetState() == ClvPlaybackPlaying ? 0 : 1; }

int CClvrPlayer::ReservedQuery() { return 0; }

int CClvrPlayer::IsAtEnd() { return m_current_frame.load() == m_frame_last.load() ? 1 : 0; }

int CClvrPlayer::ReadStatus(std::uint8_t* destination, unsigned start, unsigned count) {
  const double speed = m_speed.load();
  const bool copied = m_status.Copy(destination, start, count, [speed](std::uint8_t* s) {
    // During jog and shuttle the transport stands still exactly when the speed is 0.0.
    if (s[2] & (status::Jog.mask | status::Shuttle.mask | status::TSO_Mode.mask)) {
      status::Still.Set(s, speed == 0.0);
    }
  });
  return copied ? 1 : 0;
}

int CClvrPlayer::GetCurrentTime(Timecode* timecode, std::uint8_t* user_bits) {
  const std::uint32_t rate = static_cast<std::uint32_t>(TimecodeRate.load());
  if (timecode != nullptr) {
    UpdatePosition();
    timecode->FromFrames(m_current_frame.load(), rate);
  }
  if (user_bits != nullptr) {
    user_bits[0] = 0x11;
    user_bits[1] = 0x22;
    user_bits[2] = 0x33;
    user_bits[3] = 0x44;
  }
  ChangeStatus([this](std::uint8_t* s) {
    if ((s[0] & status::kTapeOutMask) == 0) {
      const std::uint32_t frame = m_current_frame.load();
      status::End_Of_Tape.Set(s, frame == m_frame_last.load() || frame == 0);
      status::Near_EOT.Set(s, false);
    }
  });
  return 0;
}

int CClvrPlayer::GetDeviceType(std::uint8_t* first, std::uint8_t* second) {
  if (first != nullptr) *first = m_device_type[0];
  if (second != nullptr) *second = m_device_type[1];
  return 0;
}

std::uint32_t CClvrPlayer::SetLocal(int flag) {
  return m_status.Change([flag](std::uint8_t* s) {
    const std::uint32_t previous = StatusWord(s);
    status::Local.Set(s, flag != 0);
    return previous;
  });
}

// --- Transport operations: queue a command and return ---

int CClvrPlayer::QueueCommand(std::int32_t code, double speed) {
  Command command;
  command.code = code;
  command.argument.speed = speed;
  CMD_set(command);
  return 0;
}

int CClvrPlayer::CueUp(Timecode timecode) {
  Command command;
  command.code = kCueUp;
  command.argument.frame = timecode.ToFrames(static_cast<std::uint32_t>(TimecodeRate.load()));
  CMD_set(command);
  return 0;
}

int CClvrPlayer::Eject() {
  if (m_thread_running.load() != 0) return QueueCommand(kEject, 0.0);
  EjectTape();
  return 0;
}

int CClvrPlayer::Stop() { return QueueCommand(kStop, 0.0); }
int CClvrPlayer::FastFwd() { return QueueCommand(kFastWind, WindSpeed); }
int CClvrPlayer::Rewind() { return QueueCommand(kRewind, -WindSpeed); }
int CClvrPlayer::Play() { return QueueCommand(kPlay, 0.0); }
int CClvrPlayer::VariableSpeedF(float speed) {
  return QueueCommand(kVariableSpeed, static_cast<double>(speed));
}
int CClvrPlayer::VariableSpeed(double speed) { return QueueCommand(kVariableSpeed, speed); }
int CClvrPlayer::Jog(double speed) { return QueueCommand(kJog, speed); }
int CClvrPlayer::Shuttle(double speed) { return QueueCommand(kShuttle, speed); }

}  // namespace vxr
