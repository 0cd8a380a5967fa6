#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "web/web_deck.h"

namespace vxr {

struct WebServerOptions {
  static constexpr const char* kDefaultAddress = "127.0.0.1";
  std::string address = kDefaultAddress;  // an IPv4 address
  int port = 0;                           // 0: any free port (read it back with Port)
  std::string token;                      // empty: none asked for (loopback only)
  std::vector<std::string> host_names;    // names besides IP literals and localhost
  std::size_t header_limit = 8 * 1024;
  std::size_t body_limit = 64 * 1024;
  std::size_t max_connections = 64;
  std::size_t max_logins = 256;  // logged-in browsers remembered, oldest forgotten
  std::chrono::milliseconds request_timeout{10000};  // a request arrives whole within this
  std::chrono::milliseconds idle_timeout{60000};     // between requests on one connection
  std::chrono::milliseconds ping_interval{15000};    // the event streams' keep-alive
  std::chrono::milliseconds state_poll{50};          // how often the deck is looked at for events
  std::chrono::milliseconds figures_interval{
      1000};  // outputs' figures in events at most this often
  std::chrono::milliseconds thumbnail_interval{200};  // thumbnail and meter news at most this often
};

// The deck's web server: the JSON API, the event stream and the metrics, on one thread
// (`vxr http`) running Boost.Beast over Asio. Every request is bounded (header and body size,
// the time it may take, the connections open); the deck is read through IWebDeck and its
// actions come back through the thread's own queue, so no client ever holds up the deck.
class CWebServer {
 public:
  using Log = std::function<void(const std::string& line)>;
  static constexpr const char* kThreadName = "vxr http";

  CWebServer(IWebDeck& deck, WebServerOptions options, Log log);
  ~CWebServer();
  CWebServer(const CWebServer&) = delete;
  CWebServer& operator=(const CWebServer&) = delete;

  // Binds, listens and starts the thread; false with the reason.
  bool Start(std::string* error);
  // Closes every connection and ends the thread; safe to call twice.
  void Stop();
  // The port it listens on (the one chosen when 0 was asked for).
  int Port() const;
  // Asks the thread to look at the deck now (a change the caller knows of).
  void Wake();

  // The thread's state, shared with the connections (web_server.cpp).
  struct Server;

 private:
  std::unique_ptr<Server> server_;
};

}  // namespace vxr
