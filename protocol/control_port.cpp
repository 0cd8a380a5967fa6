#include "protocol/control_port.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <system_error>

#include "platform/diagnostics.h"
#include "platform/thread_name.h"
#include "platform/thread_priority.h"
#include "protocol/frame.h"
#include "protocol/framer.h"

namespace vxr {
namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

CControlPort::~CControlPort() { Shutdown(); }

bool CControlPort::CreateReceiverThread(std::thread& thread, std::function<void()> body) {
  try {
    thread = std::thread(std::move(body));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

HRESULT CControlPort::StartReceiver(IFrameHandler* context, const char* port_name) {
  if (context == nullptr || port_name == nullptr || *port_name == '\0') return E_POINTER;
  if (starting_.load()) return HRESULT_FROM_WIN32(ERROR_BUSY);
  if (running_.load() || thread_.joinable()) return HRESULT_FROM_WIN32(ERROR_ALREADY_ASSIGNED);

  starting_.store(true);
  const std::uint32_t error = link_.OpenPort(port_name);
  if (error != 0) {
    starting_.store(false);
    return HRESULT_FROM_WIN32(error);
  }
  context_ = context;
  port_name_ = port_name;
  thread_ended_.Reset();
  // Active before the thread exists: a stop that comes before the thread has run its first
  // instruction must still wait for it.
  thread_active_.store(true);
  if (!CreateReceiverThread(thread_, [this] { ThreadMain(); })) {
    thread_active_.store(false);
    link_.ClosePort();
    context_ = nullptr;
    starting_.store(false);
    DebugOutput("Err StartReceiver", "Receiver: the thread cannot be created; port closed");
    return E_OUTOFMEMORY;
  }
  return 0;
}

HRESULT CControlPort::StopReceiver() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMs);
  stop_.store(true);
  link_.CancelRead();
  if (!thread_.joinable()) {
    stop_.store(false);
    return 0;
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (!thread_ended_.Wait(static_cast<int>(std::max<long long>(left.count(), 0)))) {
    // The stop flag stays set; the thread clears it when it finally ends.
    return HRESULT_FROM_WIN32(WAIT_TIMEOUT);
  }
  thread_.join();
  stop_.store(false);
  return 0;
}

void CControlPort::Shutdown() {
  if (StopReceiver() == 0) return;
  DebugOutput("Err StopReceiver",
              "Receiver: the thread did not end within 2000 ms of the stop; waiting for it");
  thread_.join();
  stop_.store(false);
}

void CControlPort::ThreadMain() {
  SetCurrentThreadName(kThreadName);
  SetCurrentThreadPriority(ThreadPriority::kTimeCritical, "Receiver");
  try {
    ReceiveLoop();
    ReportFigures();
  } catch (const std::exception& e) {
    char text[100];
    std::snprintf(text, sizeof text, "Receiver: stopped by an exception: %s", e.what());
    DebugOutput("Err ReceiveLoop", text);
  } catch (...) {
    DebugOutput("Err ReceiveLoop", "Receiver: stopped by an unknown exception");
  }
  // A receiver that has ended counts as having run: the service is not started twice.
  starting_.store(false);
  running_.store(true);
  stop_.store(false);
  thread_active_.store(false);
  thread_ended_.Set();
}

void CControlPort::PaceFailedLine(bool& reported) {
  if (!reported) {
    char text[100];
    std::snprintf(text, sizeof text, "Receiver: reading %s fails (error %u); retrying every %d ms",
                  port_name_.c_str(), static_cast<unsigned>(link_.LastReadError()),
                  kFailedLineBackoffMs);
    DebugOutput("Err ReceiveLoop", text);
    reported = true;
  }
  // At time-critical priority a line that fails at once must not be read in a tight loop; the
  // wait ends early when a stop arrives.
  link_.WaitForCancel(kFailedLineBackoffMs);
}

void CControlPort::ReceiveLoop() {
  if (stop_.load()) return;
  link_.PurgeInput();  // whatever arrived before the start is not answered
  starting_.store(false);
  running_.store(true);

  CFramer framer;
  std::uint8_t received[kMaxFrameSize];
  std::uint8_t transmit[kMaxFrameSize];
  bool reported = false;
  // A cancelled link reads nothing any more, so it ends the loop as surely as the stop flag.
  auto stopping = [this] { return stop_.load() || link_.IsCancelled(); };
  while (!stopping()) {
    // No more than the frame under way still needs: the next frame's bytes stay in the driver
    // until this one is answered.
    const int count = link_.ReadAvailable(received, framer.Wanted(), framer.Deadline());
    const Clock::time_point read_at = Clock::now();
    if (stopping()) break;
    if (count == 0) {
      if (link_.ReadFailed()) {
        framer.Reset();
        PaceFailedLine(reported);
      } else {
        framer.Quiet(read_at);
      }
      dropped_frames_.store(framer.DroppedFrames());
      continue;
    }
    bool complete = false;
    for (int i = 0; i < count; ++i) complete = framer.Feed(received[i], read_at);
    if (!complete) continue;

    reported = false;
    const std::uint8_t* reply = context_->ProcessCommand(framer.Frame(), framer.FrameSize());
    if (reply != nullptr) {
      const int length = FrameLength(reply[0]);
      std::memcpy(transmit, reply, static_cast<std::size_t>(length));
      link_.WriteBytes(transmit, length);
      reply_times_.Add(Clock::now() - framer.LastByteTime());
    }
  }
}

void CControlPort::ReportFigures() {
  const CLatencyRecord::Summary replies = reply_times_.Summarize();
  if (replies.count == 0 && dropped_frames_.load() == 0) return;
  auto us = [](CLatencyRecord::Duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
  };
  char text[300];
  std::snprintf(text, sizeof text,
                "Receiver on %s: %lld frames answered, %ld dropped unfinished; reply time on the "
                "deck (last byte read to reply written) p50 %.0f us, p99 %.0f us, max %.0f us",
                port_name_.c_str(), static_cast<long long>(replies.count), dropped_frames_.load(),
                us(replies.p50), us(replies.p99), us(replies.max));
  DebugOutput("Receiver", text);
}

}  // namespace vxr
