#include "sinks/stream/srt_listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <srt/access_control.h>
#include <srt/srt.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "platform/diagnostics.h"
#include "platform/thread_name.h"
#include "platform/thread_priority.h"

namespace vxr {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kTsPacketBytes = 188;
// Seven TS packets: what a UDP datagram and an SRT live message carry.
constexpr std::size_t kDefaultMessageBytes = 1316;
// Callers whose handshake the library may have under way beyond the limit, before it answers.
constexpr int kExtraBacklog = 4;
// How often the listener's thread looks for callers and closed connections when nothing is to
// be sent, and how soon it tries again a caller whose send buffer was full.
constexpr auto kIdleLook = std::chrono::milliseconds(20);
constexpr auto kBlockedLook = std::chrono::milliseconds(5);
// How long a refused handshake's reason may follow the library's closing of it.
constexpr auto kReasonGrace = std::chrono::milliseconds(500);
// A handshake the library neither completes nor closes in this time is forgotten.
constexpr auto kHandshakeForgotten = std::chrono::seconds(30);
// Several refusals from one host within this time are said in one line.
constexpr auto kRefusalLineEvery = std::chrono::seconds(1);
// A host's refusal count is forgotten this long after its last line.
constexpr auto kRefusalForgotten = std::chrono::seconds(60);
constexpr long kMicrosPerMilli = 1000;
constexpr int kEpollEvents = 4;
// A caller announcing room for fewer packets than this has stopped taking them.
constexpr int kClosedFlowWindow = 16;

std::string PeerText(const sockaddr* address) {
  char host[INET6_ADDRSTRLEN] = {};
  if (address == nullptr) return "an unknown address";
  if (address->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
  }
  if (address->sa_family == AF_INET6) {
    const auto* in = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &in->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in->sin6_port));
  }
  return "an unknown address";
}

// The host of "HOST:PORT" or "[HOST]:PORT".
std::string HostOf(const std::string& peer) {
  const std::size_t colon = peer.rfind(':');
  return colon == std::string::npos ? peer : peer.substr(0, colon);
}

bool IsTrue(const std::string& value) {
  return value == "1" || value == "true" || value == "on" || value == "yes";
}

// The query of a protocol URL as NAME=VALUE pairs.
std::vector<std::pair<std::string, std::string>> QueryOf(const std::string& url) {
  std::vector<std::pair<std::string, std::string>> items;
  const std::size_t question = url.find('?');
  if (question == std::string::npos) return items;
  std::string_view query(url);
  query.remove_prefix(question + 1);
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    const std::size_t equals = item.find('=');
    if (equals != std::string_view::npos) {
      items.emplace_back(std::string(item.substr(0, equals)), std::string(item.substr(equals + 1)));
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return items;
}

enum class OptionKind { kInt, kInt64, kBool, kMicrosToMillis, kLingerSeconds };
struct SocketOption {
  std::string_view key;  // as FFmpeg's srt protocol names it, in its units
  SRT_SOCKOPT option;
  OptionKind kind;
};
constexpr SocketOption kSocketOptions[] = {
    {"pbkeylen", SRTO_PBKEYLEN, OptionKind::kInt},
    {"latency", SRTO_LATENCY, OptionKind::kMicrosToMillis},
    {"tsbpddelay", SRTO_LATENCY, OptionKind::kMicrosToMillis},
    {"rcvlatency", SRTO_RCVLATENCY, OptionKind::kMicrosToMillis},
    {"peerlatency", SRTO_PEERLATENCY, OptionKind::kMicrosToMillis},
    {"maxbw", SRTO_MAXBW, OptionKind::kInt64},
    {"inputbw", SRTO_INPUTBW, OptionKind::kInt64},
    {"oheadbw", SRTO_OHEADBW, OptionKind::kInt},
    {"sndbuf", SRTO_SNDBUF, OptionKind::kInt},
    {"send_buffer_size", SRTO_SNDBUF, OptionKind::kInt},
    {"rcvbuf", SRTO_RCVBUF, OptionKind::kInt},
    {"recv_buffer_size", SRTO_RCVBUF, OptionKind::kInt},
    {"mss", SRTO_MSS, OptionKind::kInt},
    {"ffs", SRTO_FC, OptionKind::kInt},
    {"ipttl", SRTO_IPTTL, OptionKind::kInt},
    {"iptos", SRTO_IPTOS, OptionKind::kInt},
    {"lossmaxttl", SRTO_LOSSMAXTTL, OptionKind::kInt},
    {"minversion", SRTO_MINVERSION, OptionKind::kInt},
    {"kmrefreshrate", SRTO_KMREFRESHRATE, OptionKind::kInt},
    {"kmpreannounce", SRTO_KMPREANNOUNCE, OptionKind::kInt},
    {"enforced_encryption", SRTO_ENFORCEDENCRYPTION, OptionKind::kBool},
    {"tlpktdrop", SRTO_TLPKTDROP, OptionKind::kBool},
    {"nakreport", SRTO_NAKREPORT, OptionKind::kBool},
    {"linger", SRTO_LINGER, OptionKind::kLingerSeconds},
};
// FFmpeg's options that mean nothing to a listener of live messages: a caller's, or the
// listener's wait for its one caller.
constexpr std::string_view kIgnoredOptions[] = {"mode", "streamid", "connect_timeout",
                                                "listen_timeout", "messageapi"};

bool SetOption(int socket, SRT_SOCKOPT option, const void* value, int size, std::string* error) {
  if (srt_setsockflag(socket, option, value, size) == 0) return true;
  *error = srt_getlasterror_str();
  return false;
}

bool SetInt(int socket, SRT_SOCKOPT option, int value, std::string* error) {
  return SetOption(socket, option, &value, sizeof value, error);
}

// The listener's settings taken from the address's SRT options.
struct ListenerOptions {
  std::size_t message_bytes = kDefaultMessageBytes;
  std::chrono::milliseconds stall_timeout = kSrtStallTimeout;
};

// Sets the address's SRT options on socket (secrets as options, never elsewhere); false with
// why (naming the option, never a secret's value).
bool ApplyOptions(int socket, const StreamSettings& settings, ListenerOptions* options,
                  std::string* error) {
  std::string why;
  const auto fail = [&](std::string_view key) {
    *error = "option " + std::string(key) + ": " + why;
    return false;
  };
  std::string passphrase = settings.passphrase;
  for (const auto& [key, value] : QueryOf(settings.protocol_url)) {
    if (std::find(std::begin(kIgnoredOptions), std::end(kIgnoredOptions), key) !=
        std::end(kIgnoredOptions)) {
      continue;
    }
    if (key == "passphrase") {
      passphrase = value;
    } else if (key == "payload_size" || key == "pkt_size") {
      const long bytes = std::atol(value.c_str());
      options->message_bytes = std::max<std::size_t>(
          kTsPacketBytes, static_cast<std::size_t>(bytes) / kTsPacketBytes * kTsPacketBytes);
    } else if (key == "timeout") {
      options->stall_timeout =
          std::chrono::milliseconds(std::max(1L, std::atol(value.c_str()) / kMicrosPerMilli));
    } else if (key == "transtype" || key == "smoother") {
      if (value != "live") return why = "the listener sends live SRT only", fail(key);
    } else {
      const auto* known =
          std::find_if(std::begin(kSocketOptions), std::end(kSocketOptions),
                       [&key](const SocketOption& option) { return option.key == key; });
      if (known == std::end(kSocketOptions)) return why = "not taken by the listener", fail(key);
      const long long number = std::atoll(value.c_str());
      bool set = false;
      switch (known->kind) {
        case OptionKind::kInt:
          set = SetInt(socket, known->option, static_cast<int>(number), &why);
          break;
        case OptionKind::kInt64: {
          const std::int64_t wide = number;
          set = SetOption(socket, known->option, &wide, sizeof wide, &why);
          break;
        }
        case OptionKind::kBool: {
          const bool flag = IsTrue(value);
          set = SetOption(socket, known->option, &flag, sizeof flag, &why);
          break;
        }
        case OptionKind::kMicrosToMillis:
          set = SetInt(socket, known->option, static_cast<int>(number / kMicrosPerMilli), &why);
          break;
        case OptionKind::kLingerSeconds: {
          const linger value_linger{number > 0 ? 1 : 0, static_cast<int>(number)};
          set = SetOption(socket, known->option, &value_linger, sizeof value_linger, &why);
          break;
        }
      }
      if (!set) return fail(key);
    }
  }
  if (!SetInt(socket, SRTO_PAYLOADSIZE, static_cast<int>(options->message_bytes), &why)) {
    return fail("payload_size");
  }
  if (!passphrase.empty() && !SetOption(socket, SRTO_PASSPHRASE, passphrase.data(),
                                        static_cast<int>(passphrase.size()), &why)) {
    return fail("passphrase");
  }
  return true;
}

}  // namespace

// A message's bytes, shared by the queues of every caller.
struct CSrtListener::Chunk {
  std::vector<std::uint8_t> bytes;
};

// A connected caller. The queue and its byte count are guarded by the listener's mutex; the
// rest is the listener's thread's.
struct CSrtListener::Caller {
  int socket = -1;
  std::string peer;
  std::deque<std::shared_ptr<const Chunk>> queue;
  std::size_t queued_bytes = 0;  // in queue and in sending
  bool overflowed = false;       // a chunk found the queue full since the thread last looked
  std::deque<std::shared_ptr<const Chunk>> sending;
  std::optional<SteadyClock::time_point> stalled_since;
  std::int64_t library_drops = 0;  // packets the library dropped unacknowledged, so far
};

std::unique_ptr<CSrtListener> CSrtListener::Open(const StreamSettings& settings, long mux_rate,
                                                 std::string subject, std::string* error) {
  const std::string where = (settings.host.empty() ? std::string("every address") : settings.host) +
                            " port " + std::to_string(settings.port);
  InstallSrtLog();
  // The library must be started before a socket is made: a throwaway handle holds it meanwhile.
  CSrtLibrary started;
  const int socket = srt_create_socket();
  if (socket == SRT_INVALID_SOCK) return *error = srt_getlasterror_str(), nullptr;
  ListenerOptions options;
  const int live = SRTT_LIVE;
  std::string why;
  const int no = 0;
  if (!SetOption(socket, SRTO_TRANSTYPE, &live, sizeof live, &why) ||
      !SetOption(socket, SRTO_RCVSYN, &no, sizeof no, &why) ||
      !ApplyOptions(socket, settings, &options, &why)) {
    srt_close(socket);
    *error = "cannot listen on " + where + ": " + why;
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = settings.host.empty() ? AF_INET : AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(settings.port);
  if (getaddrinfo(settings.host.empty() ? nullptr : settings.host.c_str(), port.c_str(), &hints,
                  &found) != 0 ||
      found == nullptr) {
    srt_close(socket);
    *error = "cannot listen on " + where + ": not a numeric address";
    return nullptr;
  }
  const int bound = srt_bind(socket, found->ai_addr, static_cast<int>(found->ai_addrlen));
  freeaddrinfo(found);
  const int max_callers = std::max(1, settings.max_callers);
  const auto queue_bytes = static_cast<std::size_t>(mux_rate / 8 * kSrtCallerQueueSeconds);
  std::unique_ptr<CSrtListener> listener(new CSrtListener(
      std::move(subject), max_callers, std::max(queue_bytes, options.message_bytes),
      options.stall_timeout, options.message_bytes));
  if (bound == SRT_ERROR ||
      srt_listen_callback(socket, &CSrtListener::OnListen, listener.get()) == SRT_ERROR ||
      srt_listen(socket, max_callers + kExtraBacklog) == SRT_ERROR) {
    *error = "cannot listen on " + where + ": " + srt_getlasterror_str();
    srt_close(socket);
    return nullptr;
  }
  listener->socket_ = socket;
  sockaddr_storage local{};
  int local_size = sizeof local;
  if (srt_getsockname(socket, reinterpret_cast<sockaddr*>(&local), &local_size) == 0) {
    listener->port_ = local.ss_family == AF_INET6
                          ? ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port)
                          : ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
  }
  listener->epoll_ = srt_epoll_create();
  const int events = SRT_EPOLL_IN;
  srt_epoll_add_usock(listener->epoll_, socket, &events);
  listener->thread_ = std::thread([self = listener.get()] { self->Run(); });
  return listener;
}

CSrtListener::CSrtListener(std::string subject, int max_callers, std::size_t queue_bytes,
                           std::chrono::milliseconds stall_timeout, std::size_t message_bytes)
    : subject_(std::move(subject)),
      max_callers_(max_callers),
      queue_bytes_(queue_bytes),
      stall_timeout_(stall_timeout),
      message_bytes_(message_bytes) {}

CSrtListener::~CSrtListener() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    interrupted_ = true;
  }
  wake_.notify_all();
  caller_came_.notify_all();
  if (thread_.joinable()) thread_.join();
  CloseConnections();
}

void CSrtListener::CloseConnections() {
  // The callback may run until the listening socket is closed: it sees stop_ and refuses.
  if (socket_ != -1) srt_close(socket_);
  socket_ = -1;
  if (epoll_ != -1) srt_epoll_release(epoll_);
  epoll_ = -1;
  std::vector<std::shared_ptr<Caller>> callers;
  {
    std::lock_guard lock(mutex_);
    callers.swap(callers_list_);
  }
  for (const auto& caller : callers) srt_close(caller->socket);
  callers_.store(0);
}

int CSrtListener::OnListen(void* opaque, int socket, int /*hs_version*/, const sockaddr* peer,
                           const char* /*stream_id*/) {
  auto* self = static_cast<CSrtListener*>(opaque);
  if (self->Admit(socket, PeerText(peer)) == 0) return 0;
  srt_setrejectreason(socket, SRT_REJX_OVERLOAD);
  return -1;
}

int CSrtListener::Admit(int socket, const std::string& peer) {
  {
    std::lock_guard lock(mutex_);
    if (stop_) return -1;
    const std::size_t taken = callers_list_.size() + handshakes_.size();
    if (taken < static_cast<std::size_t>(max_callers_)) {
      handshakes_[socket] = Handshake{peer, SteadyClock::now()};
      work_ = true;
      return 0;
    }
    callback_refusals_.emplace_back(
        peer, "too many callers (maxcallers=" + std::to_string(max_callers_) + ")");
    work_ = true;
  }
  wake_.notify_one();
  return -1;
}

void CSrtListener::Send(const std::uint8_t* data, std::size_t size) {
  partial_.insert(partial_.end(), data, data + size);
  std::size_t used = 0;
  while (partial_.size() - used >= message_bytes_) {
    auto chunk = std::make_shared<Chunk>();
    chunk->bytes.assign(partial_.begin() + static_cast<std::ptrdiff_t>(used),
                        partial_.begin() + static_cast<std::ptrdiff_t>(used + message_bytes_));
    used += message_bytes_;
    Queue(std::move(chunk));
  }
  partial_.erase(partial_.begin(), partial_.begin() + static_cast<std::ptrdiff_t>(used));
}

void CSrtListener::Flush() {
  if (partial_.empty()) return;
  auto chunk = std::make_shared<Chunk>();
  chunk->bytes.swap(partial_);
  Queue(std::move(chunk));
}

void CSrtListener::Queue(std::shared_ptr<const Chunk> chunk) {
  {
    std::lock_guard lock(mutex_);
    for (const auto& caller : callers_list_) {
      if (caller->queued_bytes + chunk->bytes.size() > queue_bytes_) {
        caller->overflowed = true;
        continue;
      }
      caller->queue.push_back(chunk);
      caller->queued_bytes += chunk->bytes.size();
    }
    work_ = true;
  }
  wake_.notify_one();
}

bool CSrtListener::WaitForCaller() {
  std::unique_lock lock(mutex_);
  caller_came_.wait(lock, [this] { return interrupted_ || !callers_list_.empty(); });
  return !interrupted_ && !callers_list_.empty();
}

void CSrtListener::Interrupt() {
  {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
  }
  caller_came_.notify_all();
}

void CSrtListener::Close(std::chrono::milliseconds timeout) {
  Flush();
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    close_by_ = SteadyClock::now() + timeout;
    work_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  CloseConnections();
}

void CSrtListener::Run() {
  SetCurrentThreadName("srt listen");
  // Started by the encoder's thread: it keeps the output's pace, not codec work's priority.
  SetCurrentThreadPriority(ThreadPriority::kOutput, "SRT listen");
  auto look = kIdleLook;
  while (true) {
    bool closing = false;
    SteadyClock::time_point close_by;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, look, [this] { return stop_ || work_; });
      work_ = false;
      if (stop_) break;
      closing = closing_;
      close_by = close_by_;
    }
    const auto now = SteadyClock::now();
    if (!closing) Accept();
    CheckHandshakes(now);
    const bool unsent = SendQueued(now, closing);
    DropStalled(now);
    SayRefusals(now, closing);
    if (closing && (!unsent || now >= close_by)) break;
    look = unsent ? kBlockedLook : kIdleLook;
  }
  SayRefusals(SteadyClock::now(), true);
}

void CSrtListener::Accept() {
  SRT_EPOLL_EVENT events[kEpollEvents];
  // One caller each time the listening socket is ready: the library calls an empty accept an
  // error.
  while (srt_epoll_uwait(epoll_, events, kEpollEvents, 0) > 0) {
    sockaddr_storage peer_address{};
    int peer_size = sizeof peer_address;
    const int socket = srt_accept(socket_, reinterpret_cast<sockaddr*>(&peer_address), &peer_size);
    if (socket == SRT_INVALID_SOCK) return;
    const int no = 0;
    srt_setsockflag(socket, SRTO_SNDSYN, &no, sizeof no);
    auto caller = std::make_shared<Caller>();
    caller->socket = socket;
    caller->peer = PeerText(reinterpret_cast<const sockaddr*>(&peer_address));
    std::size_t count = 0;
    {
      std::lock_guard lock(mutex_);
      handshakes_.erase(socket);
      callers_list_.push_back(caller);
      count = callers_list_.size();
    }
    callers_.store(static_cast<int>(count));
    served_.fetch_add(1);
    caller_came_.notify_all();
    DebugOutput("Info Output", subject_ + ": caller " + caller->peer + " connected (" +
                                   std::to_string(count) + " of at most " +
                                   std::to_string(max_callers_) + ")");
  }
}

void CSrtListener::CheckHandshakes(SteadyClock::time_point now) {
  std::map<int, Handshake> handshakes;
  std::vector<std::pair<std::string, std::string>> refused;
  {
    std::lock_guard lock(mutex_);
    handshakes = handshakes_;
    refused.swap(callback_refusals_);
  }
  for (const auto& [peer, reason] : refused) Refuse(peer, reason, now);
  for (auto& [socket, handshake] : handshakes) {
    const SRT_SOCKSTATUS state = srt_getsockstate(socket);
    const bool gone = state >= SRTS_BROKEN;
    std::optional<std::string> reason;
    bool forget = false;
    if (gone && handshake.gone == SteadyClock::time_point{}) handshake.gone = now;
    const bool graced = gone && now - handshake.gone >= kReasonGrace;
    if (gone) reason = TakeSrtRejection(socket, !graced);
    if (gone && (reason || graced)) {
      Refuse(handshake.peer, reason.value_or("the handshake failed"), now);
      forget = true;
    }
    if (!gone && now - handshake.started >= kHandshakeForgotten) forget = true;
    std::lock_guard lock(mutex_);
    const auto kept = handshakes_.find(socket);
    if (kept == handshakes_.end()) continue;  // accepted meanwhile
    if (forget) {
      handshakes_.erase(kept);
    } else {
      kept->second.gone = handshake.gone;
    }
  }
}

bool CSrtListener::SendQueued(SteadyClock::time_point now, bool closing) {
  std::vector<std::shared_ptr<Caller>> callers;
  {
    std::lock_guard lock(mutex_);
    callers = callers_list_;
    for (const auto& caller : callers) {
      for (auto& chunk : caller->queue) caller->sending.push_back(std::move(chunk));
      caller->queue.clear();
    }
  }
  bool unsent = false;
  for (const auto& caller : callers) {
    std::size_t sent_bytes = 0;
    bool blocked = false;
    std::string lost;
    while (!caller->sending.empty()) {
      const Chunk& chunk = *caller->sending.front();
      const int result =
          srt_sendmsg2(caller->socket, reinterpret_cast<const char*>(chunk.bytes.data()),
                       static_cast<int>(chunk.bytes.size()), nullptr);
      if (result == SRT_ERROR) {
        if (srt_getlasterror(nullptr) == SRT_EASYNCSND) {
          blocked = true;
        } else {
          lost = srt_getlasterror_str();
        }
        break;
      }
      sent_bytes += chunk.bytes.size();
      caller->sending.pop_front();
    }
    if (lost.empty() && srt_getsockstate(caller->socket) >= SRTS_BROKEN) {
      lost = "the connection ended";
    }
    bool overflowed = false;
    {
      std::lock_guard lock(mutex_);
      caller->queued_bytes -= sent_bytes;
      overflowed = caller->overflowed;
      caller->overflowed = false;
    }
    if (!lost.empty()) {
      Disconnect(caller, "left (" + lost + ")", false);
      continue;
    }
    // A caller whose receive buffer is full (the window it announces closed), or whose packets
    // the library gave up on unacknowledged, takes nothing.
    SRT_TRACEBSTATS stats{};
    bool library_stalled = false;
    if (srt_bstats(caller->socket, &stats, 0) == 0) {
      library_stalled =
          stats.pktFlowWindow < kClosedFlowWindow || stats.pktSndDropTotal > caller->library_drops;
      caller->library_drops = stats.pktSndDropTotal;
    }
    if (blocked || overflowed || library_stalled) {
      if (!caller->stalled_since) caller->stalled_since = now;
    } else {
      caller->stalled_since.reset();
    }
    unsent = unsent || !caller->sending.empty();
    // At the stream's end: what the library still holds for a caller is not yet delivered.
    std::size_t blocks = 0;
    std::size_t bytes = 0;
    if (closing && srt_getsndbuffer(caller->socket, &blocks, &bytes) == 0 && bytes > 0) {
      unsent = true;
    }
  }
  return unsent;
}

void CSrtListener::DropStalled(SteadyClock::time_point now) {
  std::vector<std::shared_ptr<Caller>> callers;
  {
    std::lock_guard lock(mutex_);
    callers = callers_list_;
  }
  for (const auto& caller : callers) {
    if (!caller->stalled_since || now - *caller->stalled_since < stall_timeout_) continue;
    char why[96];
    std::snprintf(why, sizeof why, "dropped: it took nothing for %.1f s",
                  std::chrono::duration<double>(now - *caller->stalled_since).count());
    Disconnect(caller, why, true);
  }
}

void CSrtListener::Disconnect(const std::shared_ptr<Caller>& caller, const std::string& why,
                              bool dropped) {
  srt_close(caller->socket);
  std::size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    std::erase(callers_list_, caller);
    count = callers_list_.size();
  }
  callers_.store(static_cast<int>(count));
  if (dropped) dropped_.fetch_add(1);
  DebugOutput(dropped ? "Warn Output" : "Info Output", subject_ + ": caller " + caller->peer + " " +
                                                           why + " (" + std::to_string(count) +
                                                           " connected)");
}

void CSrtListener::Refuse(const std::string& peer, const std::string& reason,
                          SteadyClock::time_point now) {
  refused_.fetch_add(1);
  Refusals& host = refusals_[HostOf(peer)];
  if (host.unsaid == 0 && now - host.last_line >= kRefusalLineEvery) {
    host.last_line = now;
    DebugOutput("Warn Output", subject_ + ": refused a caller from " + peer + ": " + reason);
    return;
  }
  ++host.unsaid;
  host.last_peer = peer;
  host.last_reason = reason;
}

void CSrtListener::SayRefusals(SteadyClock::time_point now, bool all) {
  for (auto it = refusals_.begin(); it != refusals_.end();) {
    Refusals& host = it->second;
    if (host.unsaid > 0 && (all || now - host.last_line >= kRefusalLineEvery)) {
      const double seconds = std::chrono::duration<double>(now - host.last_line).count();
      char since[48];
      std::snprintf(since, sizeof since, " in the last %.1f s", seconds);
      DebugOutput("Warn Output", subject_ + ": " + std::to_string(host.unsaid) +
                                     " more refusals of callers from " + it->first + since +
                                     " (the last " + host.last_peer + "): " + host.last_reason);
      host.unsaid = 0;
      host.last_line = now;
    }
    if (host.unsaid == 0 && now - host.last_line >= kRefusalForgotten) {
      it = refusals_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace vxr
