#pragma once

#include <memory>
#include <set>
#include <string>

#include "app/control_settings.h"
#include "app/http_settings.h"
#include "app/network_control.h"
#include "app/web_deck_control.h"
#include "library/tape_library.h"
#include "netctl/control_server.h"
#include "web/log_ring.h"
#include "web/web_server.h"

namespace vxr {

// The deck on the network: its tape library (rescanned every second), the studio's control
// protocol server, the web server and what joins them to the deck. Made, started and stopped on the
// user-interface thread; stopped before the deck's player is released.
class CDeckNetwork {
 public:
  static constexpr int kRescanMs = 1000;

  // app_name and config_path name the deck: its unique id and the folder of the projects made
  // for movies (next to the INI, <app name>.tapes/).
  CDeckNetwork(std::string app_name, std::string config_path);
  ~CDeckNetwork();
  CDeckNetwork(const CDeckNetwork&) = delete;
  CDeckNetwork& operator=(const CDeckNetwork&) = delete;

  // The web server, when asked for, and the board its page and metrics show; before Start.
  void SetHttp(HttpSettings http, BoardSource board);
  // Scans the library (its folders, else the folder of current_tape) and starts serving the
  // control protocol (when settings ask for it) and the web server (when SetHttp did); false
  // with the reason when a server cannot listen.
  bool Start(const ControlSettings& settings, CVtrDeck& deck, NetworkDeckHooks hooks,
             const std::string& current_tape, std::string* error);
  // Ends the server and the library's rescans; safe twice.
  void Stop();
  // The owner's word after any load, the panel's own too.
  void TapeLoaded(const std::string& path);
  int Port() const { return server_ ? server_->Port() : 0; }
  int HttpPort() const { return web_ ? web_->Port() : 0; }
  // The folder of the projects made for movies.
  std::string StateFolder() const;

 private:
  void Log(const std::string& line) const;
  void LogProblems();
  bool StartWeb(CVtrDeck& deck, const std::string& current_tape, std::string* error);

  std::string app_name_;
  std::string config_path_;
  std::unique_ptr<CTapeLibrary> library_;
  std::unique_ptr<CNetworkControl> control_;
  std::unique_ptr<CControlServer> server_;
  HttpSettings http_;
  BoardSource board_;
  CLogRing log_ring_;
  std::unique_ptr<CWebDeckControl> web_control_;
  std::unique_ptr<CWebServer> web_;
  bool tap_installed_ = false;
  std::mutex logged_mutex_;       // guards logged_
  std::set<std::string> logged_;  // the unplayable files already reported, with their reason
};

}  // namespace vxr
