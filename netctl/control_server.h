#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "netctl/control_address.h"
#include "netctl/control_parser.h"
#include "netctl/control_session.h"
#include "netctl/deck_control.h"

namespace vxr {

struct ControlServerOptions {
  ControlEndpoint endpoint;  // port 0: any free port (read it back with Port)
  CAllowList allow;          // needed for an address other than loopback
  ControlIdentity identity;
  std::size_t max_clients = 32;
  std::size_t send_limit = 256 * 1024;  // bytes a client may leave unread before it is dropped
  int command_timeout_ms = 5000;        // an unfinished command is a syntax error after this
  int notify_poll_ms = 5;               // how often the deck is looked at for notifications
};

// The studio's TCP control protocol server. One thread (`vxr control`) runs poll() over the
// listener and every client; each client has its own bounded buffers, so one that stops reading
// or sends garbage never holds up the deck or the others. Deck actions go through IDeckControl
// and their results come back through a queue that wakes the thread.
class CControlServer {
 public:
  using Log = std::function<void(const std::string& line)>;

  CControlServer(IDeckControl& deck, ControlServerOptions options, Log log);
  ~CControlServer();
  CControlServer(const CControlServer&) = delete;
  CControlServer& operator=(const CControlServer&) = delete;

  // Binds, listens and starts the thread; false with the reason.
  bool Start(std::string* error);
  // Ends the thread and closes every connection; safe to call twice.
  void Stop();
  // The port it listens on (the one chosen when 0 was asked for).
  int Port() const { return port_; }
  // Asks the thread to look at the deck now (a change the caller knows of).
  void Wake();

 private:
  using Clock = std::chrono::steady_clock;
  struct Client;
  struct Mailbox;

  void Run();
  void Accept();
  void Read(Client& client);
  void Write(Client& client);
  void Send(Client& client, const std::string& text);
  void Drop(Client& client, const std::string& why);
  void ProcessCommands(Client& client);
  void SubmitNext(std::uint64_t client_id, std::deque<ControlAction>& actions);
  void TakeCompletions();
  void CheckTimers(Client& client, Clock::time_point now);
  void Notify();
  void WatchPlayRange(const ControlDeckState& state);
  int PollTimeout() const;

  IDeckControl& deck_;
  ControlServerOptions options_;
  Log log_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};

  // The server thread's own state.
  std::map<std::uint64_t, std::unique_ptr<Client>> clients_;
  std::uint64_t next_client_id_ = 1;
  ControlDeckSettings settings_;
  ControlDeckState last_state_;
  std::set<std::uint32_t> refused_logged_;
  std::deque<ControlAction> server_actions_;
  bool server_action_running_ = false;

  // Where the deck's results come back; shared with the callbacks, which may outlive the server.
  std::shared_ptr<Mailbox> mailbox_;
};

}  // namespace vxr
