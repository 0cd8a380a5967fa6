#include "netctl/control_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "netctl/control_text.h"
#include "platform/thread_name.h"

namespace vxr {
namespace {

constexpr int kListenBacklog = 16;
constexpr std::size_t kReadChunk = 4096;
// Commands a client may have waiting behind one in progress before the server stops reading
// from it (the socket's own buffer then holds the rest).
constexpr std::size_t kMaxQueuedCommands = 64;
constexpr int kIdlePollMs = 100;
constexpr std::uint32_t kLoopbackNet = 0x7F000000u;  // 127.0.0.0/8
constexpr std::uint32_t kLoopbackMask = 0xFF000000u;

std::string PeerText(const sockaddr_in& peer) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

std::string ResultLine(int code) { return ReplyLine(code, FailureText(code)); }

}  // namespace

struct CControlServer::Mailbox {
  struct Completion {
    std::uint64_t client;  // 0 for the server's own actions (the play range's end)
    int code;
  };
  std::mutex mutex;  // guards items and closed
  std::vector<Completion> items;
  bool closed = false;
  int wake_fd = -1;  // written after each completion; closed by the server after `closed`

  void Post(std::uint64_t client, int code) {
    std::lock_guard lock(mutex);
    if (closed) return;
    items.push_back({client, code});
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_fd, &one, sizeof one);
  }
};

struct CControlServer::Client {
  Client(std::uint64_t client_id, int socket, std::string from, const ControlIdentity& identity)
      : id(client_id), fd(socket), peer(std::move(from)), session(identity) {}
  std::uint64_t id;
  int fd;
  std::string peer;
  CControlSession session;
  CControlParser parser;
  std::deque<ControlCommand> commands;
  std::deque<ControlAction> actions;  // what is left of the command in progress
  bool awaiting = false;              // an action of this client is with the deck
  std::string out;
  bool closing = false;  // ends once out is sent (quit)
  bool dead = false;
  Clock::time_point last_input = Clock::now();
  bool partial = false;
  Clock::time_point partial_since;
};

CControlServer::CControlServer(IDeckControl& deck, ControlServerOptions options, Log log)
    : deck_(deck),
      options_(std::move(options)),
      log_(std::move(log)),
      mailbox_(std::make_shared<Mailbox>()) {}

CControlServer::~CControlServer() { Stop(); }

bool CControlServer::Start(std::string* error) {
  const auto fail = [&](const std::string& what) {
    *error = what + ": " + std::strerror(errno);
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
    return false;
  };
  if (!CheckControlAccess(options_.endpoint, options_.allow, error)) return false;
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return fail("control socket");
  const int on = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(options_.endpoint.port));
  if (inet_pton(AF_INET, options_.endpoint.address.c_str(), &address.sin_addr) != 1) {
    errno = EINVAL;
    return fail("control address " + options_.endpoint.address);
  }
  const std::string where =
      options_.endpoint.address + ":" + std::to_string(options_.endpoint.port);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return fail("cannot listen on " + where);
  }
  if (::listen(listener_, kListenBacklog) != 0) return fail("cannot listen on " + where);
  socklen_t length = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  mailbox_->wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (mailbox_->wake_fd < 0) return fail("control wake-up");
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void CControlServer::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    Wake();
    thread_.join();
  }
  {
    std::lock_guard lock(mailbox_->mutex);
    mailbox_->closed = true;
    if (mailbox_->wake_fd >= 0) ::close(mailbox_->wake_fd);
    mailbox_->wake_fd = -1;
  }
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

void CControlServer::Wake() {
  std::lock_guard lock(mailbox_->mutex);
  if (mailbox_->wake_fd < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(mailbox_->wake_fd, &one, sizeof one);
}

int CControlServer::PollTimeout() const {
  if (settings_.network_play) return options_.notify_poll_ms;
  for (const auto& [id, client] : clients_) {
    if (client->session.WantsNotifications()) return options_.notify_poll_ms;
  }
  return kIdlePollMs;
}

void CControlServer::Run() {
  SetCurrentThreadName("vxr control");
  last_state_ = deck_.State();
  while (!stop_) {
    std::vector<pollfd> fds{{mailbox_->wake_fd, POLLIN, 0}, {listener_, POLLIN, 0}};
    std::vector<Client*> polled;
    for (auto& [id, client] : clients_) {
      short events = 0;
      if (!client->closing && client->commands.size() < kMaxQueuedCommands) events |= POLLIN;
      if (!client->out.empty()) events |= POLLOUT;
      fds.push_back({client->fd, events, 0});
      polled.push_back(client.get());
    }
    ::poll(fds.data(), fds.size(), PollTimeout());
    if (stop_) break;
    if (fds[0].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(mailbox_->wake_fd, &count, sizeof count);
    }
    TakeCompletions();
    if ((fds[1].revents & POLLIN) != 0) Accept();
    for (std::size_t i = 0; i < polled.size(); ++i) {
      const short events = fds[i + 2].revents;
      if ((events & (POLLIN | POLLHUP | POLLERR)) != 0) Read(*polled[i]);
      if (!polled[i]->dead && (events & POLLOUT) != 0) Write(*polled[i]);
    }
    const Clock::time_point now = Clock::now();
    for (auto& [id, client] : clients_) {
      if (!client->dead) ProcessCommands(*client);
      if (!client->dead) CheckTimers(*client, now);
    }
    Notify();
    std::erase_if(clients_, [](const auto& entry) {
      if (entry.second->dead) ::close(entry.second->fd);
      return entry.second->dead;
    });
  }
  for (auto& [id, client] : clients_) ::close(client->fd);
  clients_.clear();
}

void CControlServer::Accept() {
  const bool loopback_only = IsLoopbackAddress(options_.endpoint.address);
  for (;;) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const std::uint32_t address = ntohl(peer.sin_addr.s_addr);
    const bool local = (address & kLoopbackMask) == kLoopbackNet;
    if (!loopback_only && !local && !options_.allow.Allows(address)) {
      if (refused_logged_.insert(address).second) {
        log_("control: refused " + PeerText(peer) + ": not in the allow-list");
      }
      ::close(fd);
      continue;
    }
    if (clients_.size() >= options_.max_clients) {
      const std::string rejected = ResultLine(kControlConnectionRejected);
      [[maybe_unused]] const ssize_t sent =
          ::send(fd, rejected.data(), rejected.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      log_("control: refused " + PeerText(peer) + ": " + std::to_string(clients_.size()) +
           " clients already");
      ::close(fd);
      continue;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto client =
        std::make_unique<Client>(next_client_id_++, fd, PeerText(peer), options_.identity);
    Client& added = *client;
    clients_.emplace(added.id, std::move(client));
    Send(added, added.session.Greeting());
  }
}

void CControlServer::Read(Client& client) {
  char buffer[kReadChunk];
  const ssize_t got = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    client.dead = true;
    return;
  }
  if (got < 0) return;
  const Clock::time_point now = Clock::now();
  client.last_input = now;
  for (ControlCommand& command :
       client.parser.Feed(std::string_view(buffer, static_cast<std::size_t>(got)))) {
    client.commands.push_back(std::move(command));
  }
  if (!client.parser.Pending()) {
    client.partial = false;
  } else if (!client.partial) {
    client.partial = true;
    client.partial_since = now;
  }
}

void CControlServer::Write(Client& client) {
  while (!client.out.empty()) {
    const ssize_t sent =
        ::send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      client.dead = true;
      return;
    }
    client.out.erase(0, static_cast<std::size_t>(sent));
  }
  if (client.closing) client.dead = true;
}

void CControlServer::Send(Client& client, const std::string& text) {
  if (client.dead) return;
  if (client.out.size() + text.size() > options_.send_limit) {
    Drop(client, "it does not read what it is sent (" + std::to_string(client.out.size()) +
                     " bytes waiting)");
    return;
  }
  client.out += text;
  Write(client);
}

void CControlServer::Drop(Client& client, const std::string& why) {
  if (client.dead) return;
  log_("control: client " + client.peer + " dropped: " + why);
  client.dead = true;
}

void CControlServer::ProcessCommands(Client& client) {
  while (!client.awaiting && !client.commands.empty() && !client.dead && !client.closing) {
    const ControlCommand command = std::move(client.commands.front());
    client.commands.pop_front();
    ControlStep step = client.session.Handle(command, deck_, settings_);
    if (!step.actions.empty()) {
      client.actions.assign(step.actions.begin(), step.actions.end());
      client.awaiting = true;
      SubmitNext(client.id, client.actions);
      continue;
    }
    Send(client, step.reply);
    if (step.close) client.closing = true;
  }
  // A quit whose reply is already out ends now; otherwise Write ends it once it is.
  if (client.closing && client.out.empty()) client.dead = true;
}

void CControlServer::SubmitNext(std::uint64_t client_id, std::deque<ControlAction>& actions) {
  const ControlAction action = actions.front();
  actions.pop_front();
  std::weak_ptr<Mailbox> mailbox = mailbox_;
  deck_.Submit(action, [mailbox, client_id](int code) {
    if (const std::shared_ptr<Mailbox> box = mailbox.lock()) box->Post(client_id, code);
  });
}

void CControlServer::TakeCompletions() {
  std::vector<Mailbox::Completion> done;
  {
    std::lock_guard lock(mailbox_->mutex);
    done.swap(mailbox_->items);
  }
  for (const Mailbox::Completion& completion : done) {
    if (completion.client == 0) {
      server_action_running_ = completion.code == kControlOk && !server_actions_.empty();
      if (server_action_running_) SubmitNext(0, server_actions_);
      continue;
    }
    const auto found = clients_.find(completion.client);
    if (found == clients_.end()) continue;
    Client& client = *found->second;
    if (completion.code == kControlOk && !client.actions.empty()) {
      SubmitNext(client.id, client.actions);
      continue;
    }
    client.awaiting = false;
    client.actions.clear();
    Send(client, ResultLine(completion.code));
  }
}

void CControlServer::CheckTimers(Client& client, Clock::time_point now) {
  if (client.partial &&
      now - client.partial_since > std::chrono::milliseconds(options_.command_timeout_ms)) {
    client.parser.Abandon();
    client.partial = false;
    Send(client, ResultLine(kControlSyntaxError));
  }
  const int period = client.session.WatchdogSeconds();
  if (period > 0 && now - client.last_input > std::chrono::seconds(period)) {
    Drop(client, "silent past its watchdog period of " + std::to_string(period) + " s");
  }
}

void CControlServer::Notify() {
  if (clients_.empty() && !settings_.network_play) return;
  const ControlDeckState state = deck_.State();
  for (auto& [id, client] : clients_) {
    if (client->dead) continue;
    const std::string text = client->session.Notifications(last_state_, state, settings_);
    if (!text.empty()) Send(*client, text);
  }
  WatchPlayRange(state);
  last_state_ = state;
}

void CControlServer::WatchPlayRange(const ControlDeckState& state) {
  if (!settings_.network_play || server_action_running_) return;
  const ControlTransport transport = TransportFromStatus(state, settings_.last_speed);
  const bool forward = transport.speed > 0;
  if (!forward) {
    // A play that has run and stopped by another hand is no longer the network's.
    if (settings_.network_play_seen) settings_.network_play = false;
    settings_.network_play_seen = false;
    return;
  }
  settings_.network_play_seen = true;
  const bool has_end = settings_.range_set || settings_.loop;
  const std::uint32_t out = settings_.range_set
                                ? settings_.range_out
                                : (state.frame_count > 0 ? state.frame_count - 1 : 0);
  if (!has_end || state.frame < out) return;
  ControlAction cue;
  cue.kind = ControlAction::Kind::kCue;
  server_actions_.clear();
  if (settings_.loop) {
    cue.frame = settings_.range_set ? settings_.range_in : 0;
    ControlAction play;
    play.kind = ControlAction::Kind::kPlay;
    play.speed = 1.0;
    server_actions_ = {cue, play};
  } else {
    cue.frame = out;
    server_actions_ = {cue};
    settings_.network_play = false;
  }
  settings_.network_play_seen = false;
  server_action_running_ = true;
  SubmitNext(0, server_actions_);
}

}  // namespace vxr
