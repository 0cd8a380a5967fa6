#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "platform/hresult.h"
#include "platform/manual_reset_event.h"
#include "protocol/frame_handler.h"
#include "protocol/latency_record.h"
#include "protocol/serial_link.h"

namespace vxr {

// The edit controller's port and the receiver thread that serves it: the thread cuts the
// incoming bytes into frames by the count in each first byte, hands every complete frame to the
// frame handler and writes its reply back at once. A frame that arrives incomplete is dropped
// without a reply. A service is started at most once in its life.
//
// StartReceiver, StopReceiver and Shutdown are called from one thread (the user-interface
// thread); the flag readers may be called from any.
class CControlPort {
 public:
  CControlPort() = default;
  // Stops the receiver; if it overruns the stop's wait, reports that and waits for it without
  // bound (a cancelled read always ends), so nothing is freed under it.
  virtual ~CControlPort();
  CControlPort(const CControlPort&) = delete;
  CControlPort& operator=(const CControlPort&) = delete;

  static constexpr int kStopWaitMs = 2000;
  // Pause between reads on a line that fails every read at once (hung up, unplugged).
  static constexpr int kFailedLineBackoffMs = 100;
  static constexpr const char* kThreadName = "vxr receiver";

  // Opens the port and starts the receiver thread with context as the frame handler.
  // 0; E_POINTER without a context or port name; 0x800700AA while a start is in progress;
  // 0x80070055 once the receiver runs or has run; 0x8007xxxx when the port cannot be opened
  // (xxxx the Windows error number); E_OUTOFMEMORY when the thread cannot be created (the port
  // is closed again, so a later start may succeed).
  HRESULT StartReceiver(IFrameHandler* context, const char* port_name);
  // Ends the receiver thread: 0 once it has ended (or when there is none), 0x80070102 when it
  // has not ended within 2000 ms (it then ends by itself once its read returns).
  HRESULT StopReceiver();
  // StopReceiver, and when that gives up, a report and a wait without bound for the thread.
  // Afterwards no receiver thread exists and the handler is no longer called.
  void Shutdown();

  // True from the start of the receiver thread until its last instruction.
  bool IsThreadActive() const { return thread_active_.load(); }
  // True once the receiver has begun serving (after discarding what arrived before the start).
  bool IsRunning() const { return running_.load(); }

  // The deck's own share of each reply's latency: from the frame's last byte read to its reply
  // written, as the receiver thread measured it. Readable at any time, from any thread.
  const CLatencyRecord& ReplyTimes() const { return reply_times_; }
  // Frames dropped unfinished (a pause inside a frame, a head whose data never came).
  long DroppedFrames() const { return dropped_frames_.load(); }

 protected:
  // Creates the receiver thread running body; false when the system cannot create it.
  virtual bool CreateReceiverThread(std::thread& thread, std::function<void()> body);

 private:
  void ThreadMain();
  void ReceiveLoop();
  // Waits between reads on a failed line, reporting the failure once per run of failures.
  void PaceFailedLine(bool& reported);
  // The figures of this run of the receiver, as one line of diagnostics.
  void ReportFigures();

  CSerialLink link_;
  IFrameHandler* context_ = nullptr;  // set by a successful start; receiver thread reads it
  std::string port_name_;             // for diagnostics, set before the thread starts
  // Single flags shared by the controlling thread and the receiver thread.
  std::atomic<bool> starting_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> thread_active_{false};
  std::atomic<bool> stop_{false};
  // Kept (never detached) until it has been joined, so a stop can always wait for it.
  std::thread thread_;
  ManualResetEvent thread_ended_;  // set by the receiver thread as its last action
  CLatencyRecord reply_times_;     // added to by the receiver thread only
  std::atomic<long> dropped_frames_{0};
};

}  // namespace vxr
