#include "sinks/stream/srt_library.h"

#include <srt/srt.h>
#include <syslog.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string_view>
#include <utility>

#include "platform/diagnostics.h"
#include "vboard/media/ffmpeg_log.h"

namespace vxr {
namespace {

// The library's errors reach the log at most this often; the rest are counted in the next line.
constexpr auto kErrorLineEvery = std::chrono::seconds(1);
// Refusal reasons kept for the listeners to take: a caller retrying a wrong passphrase many
// times a second never grows this beyond the newest.
constexpr std::size_t kKeptRejections = 256;
// The library's handshake functions: what they say of a refused caller, the listener says.
constexpr std::string_view kHandshakeAreas[] = {"newConnection",
                                                "processConnectRequest",
                                                "interpretSrtHandshake",
                                                "processSrtMsg_KMREQ",
                                                "processSrtMsg_KMRSP",
                                                "processSrtMsg_HSREQ",
                                                "processSrtMsg_HSRSP",
                                                "acceptAndRespond",
                                                "runAcceptHook",
                                                "processRendezvous",
                                                "worker_ProcessConnectionRequest",
                                                "accept"};
// The handshake's refusal code on the wire is this plus the library's reason.
constexpr int kWireRejectBase = 1000;

class SrtLog {
 public:
  static SrtLog& Instance() {
    static SrtLog log;
    return log;
  }

  void Handle(int level, std::string_view area, std::string_view message) {
    while (!message.empty() && (message.front() == ':' || message.front() == ' ')) {
      message.remove_prefix(1);
    }
    if (area == "newConnection") NoteRejectedSocket(message);
    if (area == "processConnectRequest") NoteRejectCode(message);
    if (level > LOG_ERR) return;
    for (std::string_view handshake : kHandshakeAreas) {
      if (area == handshake) return;
    }
    std::string line;
    {
      std::lock_guard lock(mutex_);
      const auto now = std::chrono::steady_clock::now();
      if (now - last_line_ < kErrorLineEvery) {
        ++unsaid_;
        return;
      }
      last_line_ = now;
      line = "SRT: " + RedactSecrets(std::string(message));
      if (unsaid_ > 0) line += " (and " + std::to_string(unsaid_) + " more errors before it)";
      unsaid_ = 0;
    }
    DebugOutput("Err SRT", line);
  }

  std::optional<std::string> Take(int socket, bool settled_only) {
    std::lock_guard lock(mutex_);
    for (auto it = rejections_.begin(); it != rejections_.end(); ++it) {
      if (it->socket == socket) {
        if (settled_only && !it->settled) return std::nullopt;
        std::string reason = std::move(it->reason);
        rejections_.erase(it);
        return reason;
      }
    }
    return std::nullopt;
  }

 private:
  // "@ID:newConnection: connection rejected due to: TEXT": the socket the listen callback was
  // handed, and the library's terse reason until the wire code below gives its words.
  void NoteRejectedSocket(std::string_view message) {
    constexpr std::string_view kDueTo = "rejected due to: ";
    const std::size_t due = message.find(kDueTo);
    if (message.empty() || message.front() != '@' || due == std::string_view::npos) return;
    const int socket = std::atoi(std::string(message.substr(1)).c_str());
    last_rejected_ = socket;
    Keep(socket, std::string(message.substr(due + kDueTo.size())), false);
  }

  // "processConnectRequest: rsp(REJECT): CODE - TEXT", said right after on the same thread.
  void NoteRejectCode(std::string_view message) {
    constexpr std::string_view kReject = "rsp(REJECT): ";
    const std::size_t at = message.find(kReject);
    if (at == std::string_view::npos || last_rejected_ < 0) return;
    const int code = std::atoi(std::string(message.substr(at + kReject.size())).c_str());
    const int reason = code - kWireRejectBase;
    if (reason >= 0 && reason < SRT_REJ_E_SIZE) {
      Keep(last_rejected_, srt_rejectreason_str(reason), true);
    }
    last_rejected_ = -1;
  }

  void Keep(int socket, std::string reason, bool settled) {
    std::lock_guard lock(mutex_);
    for (Rejection& kept : rejections_) {
      if (kept.socket == socket) {
        kept.reason = std::move(reason);
        kept.settled = settled;
        return;
      }
    }
    if (rejections_.size() >= kKeptRejections) rejections_.pop_front();
    rejections_.push_back({socket, std::move(reason), settled});
  }

  struct Rejection {
    int socket = -1;
    std::string reason;
    // The wire code's words have replaced the library's terse first reason.
    bool settled = false;
  };

  std::mutex mutex_;  // guards rejections_, last_line_ and unsaid_
  std::deque<Rejection> rejections_;
  std::chrono::steady_clock::time_point last_line_{};
  int unsaid_ = 0;
  // The socket whose refusal the library's receiving thread logged last.
  static thread_local int last_rejected_;
};

thread_local int SrtLog::last_rejected_ = -1;

void Handler(void* /*opaque*/, int level, const char* /*file*/, int /*line*/, const char* area,
             const char* message) {
  SrtLog::Instance().Handle(level, area != nullptr ? area : "", message != nullptr ? message : "");
}

}  // namespace

void InstallSrtLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    SrtLog::Instance();
    srt_setlogflags(SRT_LOGF_DISABLE_TIME | SRT_LOGF_DISABLE_THREADNAME |
                    SRT_LOGF_DISABLE_SEVERITY | SRT_LOGF_DISABLE_EOL);
    srt_setloghandler(nullptr, &Handler);
    // Warnings too, for the refusals' reasons; only errors are written.
    srt_setloglevel(LOG_WARNING);
  });
}

std::optional<std::string> TakeSrtRejection(int socket, bool settled_only) {
  return SrtLog::Instance().Take(socket, settled_only);
}

CSrtLibrary::CSrtLibrary() {
  InstallSrtLog();
  srt_startup();
}

CSrtLibrary::~CSrtLibrary() { srt_cleanup(); }

}  // namespace vxr
