#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sinks/stream/output_url.h"
#include "sinks/stream/srt_library.h"

namespace vxr {

// How long a caller may take nothing (its queue full, or the library unable to send) before it
// is dropped, unless the address's timeout= (microseconds, as FFmpeg reads it) says otherwise.
inline constexpr std::chrono::milliseconds kSrtStallTimeout{2000};
// Each caller's queue holds this much of the stream at its transport rate.
inline constexpr int kSrtCallerQueueSeconds = 2;

// An SRT listener that serves every caller, up to maxcallers= of them, with the same transport
// stream: live mode, one message of 1316 bytes (seven TS packets) at a time.
//
// Send, on the stream's thread, never waits: it appends the stream to each caller's own bounded
// queue. The listener's thread ("srt listen") accepts callers, sends each what its queue holds
// without blocking, and drops a caller that has taken nothing for its stall timeout, so that it
// never delays the others. A caller beyond the limit is refused at once, with SRT's "overloaded"
// reason. Every connect, refusal (the peer's address and the library's reason; several from one
// address within a second are summarised in one line) and drop is one line of the deck's
// diagnostics, beginning with subject. Secrets are set as socket options, never logged.
class CSrtListener {
 public:
  // Binds settings' address (a numeric host, or every address when it is empty) and listens,
  // with the SRT options of its protocol URL; null with why when it cannot. mux_rate (bits per
  // second) sizes the callers' queues.
  static std::unique_ptr<CSrtListener> Open(const StreamSettings& settings, long mux_rate,
                                            std::string subject, std::string* error);
  // Closes without sending what is queued.
  ~CSrtListener();
  CSrtListener(const CSrtListener&) = delete;
  CSrtListener& operator=(const CSrtListener&) = delete;

  // Appends transport stream bytes for every caller connected now.
  void Send(const std::uint8_t* data, std::size_t size);
  // Hands on what is held short of a whole message (the stream's end).
  void Flush();
  // Waits until a caller is connected (true) or Interrupt is called (false).
  bool WaitForCaller();
  // Ends a WaitForCaller, now and from now on.
  void Interrupt();
  // Sends what the callers' queues hold, for at most timeout, then closes every connection.
  void Close(std::chrono::milliseconds timeout);

  int Callers() const { return callers_.load(); }
  std::int64_t Served() const { return served_.load(); }
  std::int64_t Dropped() const { return dropped_.load(); }
  std::int64_t Refused() const { return refused_.load(); }
  // The address's port as bound (the one asked for, or the system's choice for port 0).
  int Port() const { return port_; }

 private:
  struct Chunk;
  struct Caller;
  struct Handshake {
    std::string peer;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point gone{};  // when the library closed it, if it did
  };
  struct Refusals {
    std::int64_t unsaid = 0;  // refusals since the last line
    std::string last_peer;
    std::string last_reason;
    std::chrono::steady_clock::time_point last_line{};
  };

  CSrtListener(std::string subject, int max_callers, std::size_t queue_bytes,
               std::chrono::milliseconds stall_timeout, std::size_t message_bytes);
  static int OnListen(void* opaque, int socket, int hs_version, const sockaddr* peer,
                      const char* stream_id);
  int Admit(int socket, const std::string& peer);
  void Run();
  void Accept();
  void CheckHandshakes(std::chrono::steady_clock::time_point now);
  // Sends what each caller can take; whether any is left unsent (closing: or undelivered).
  bool SendQueued(std::chrono::steady_clock::time_point now, bool closing);
  void DropStalled(std::chrono::steady_clock::time_point now);
  void Refuse(const std::string& peer, const std::string& reason,
              std::chrono::steady_clock::time_point now);
  void SayRefusals(std::chrono::steady_clock::time_point now, bool all);
  void Disconnect(const std::shared_ptr<Caller>& caller, const std::string& why, bool dropped);
  void Queue(std::shared_ptr<const Chunk> chunk);
  // Closes the listening socket and every caller's (after the thread ended).
  void CloseConnections();

  const std::string subject_;
  const int max_callers_;
  const std::size_t queue_bytes_;
  const std::chrono::milliseconds stall_timeout_;
  const std::size_t message_bytes_;
  int port_ = 0;
  CSrtLibrary library_;
  int socket_ = -1;  // the listening socket
  int epoll_ = -1;   // the listening socket's readiness to accept

  // guards callers_list_ (and each caller's queue), handshakes_, callback_refusals_, work_,
  // stop_, closing_, close_by_ and interrupted_
  mutable std::mutex mutex_;
  std::condition_variable wake_;         // data queued, a caller came, a stop
  std::condition_variable caller_came_;  // for WaitForCaller
  std::vector<std::shared_ptr<Caller>> callers_list_;
  std::map<int, Handshake> handshakes_;  // admitted by the callback, not yet accepted
  // Refused by the listen callback, for the listener's thread to say: peer and reason.
  std::vector<std::pair<std::string, std::string>> callback_refusals_;
  bool work_ = false;  // something for the listener's thread since it last looked
  bool stop_ = false;
  bool closing_ = false;  // Close: the queues are being emptied, until close_by_
  std::chrono::steady_clock::time_point close_by_{};
  bool interrupted_ = false;

  std::vector<std::uint8_t> partial_;         // the stream's thread's bytes short of a message
  std::map<std::string, Refusals> refusals_;  // by the peer's host; the listener's thread's

  std::atomic<int> callers_{0};
  std::atomic<std::int64_t> served_{0};
  std::atomic<std::int64_t> dropped_{0};
  std::atomic<std::int64_t> refused_{0};

  std::thread thread_;  // "srt listen": accepts, sends, drops
};

}  // namespace vxr
