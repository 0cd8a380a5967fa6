#pragma once

#include <QTimer>
#include <memory>
#include <string>

#include "app/config_store.h"
#include "app/control_settings.h"
#include "app/deck_network.h"
#include "app/deck_options.h"
#include "app/http_settings.h"
#include "app/recent_file_list.h"
#include "app/server_library.h"
#include "deck/vtr_deck.h"
#include "player/deck_player.h"

namespace vxr {

// The deck without a panel or any window (--headless), for a rack machine under a service
// manager. It loads the tape (--tape, else the most recent one), serves the edit controller's
// port from start-up as REMOTE would, and runs until RequestStop (SIGTERM, SIGINT or SIGHUP).
// A tape or port that cannot be opened ends it at start with a line on standard error and exit
// code 1: a service that seems to run but serves nothing is worse than one that fails. Needs a
// QCoreApplication (its event loop waits for the stop request and runs the tick); makes no GUI
// object. Every 100 ms it reads the time and refreshes the status as the panel's timer does in
// the windowed deck, so that the lock flag of a time reply follows the transport.
class CHeadlessDeck {
 public:
  CHeadlessDeck(std::string app_name, PlayerFactory player_factory, ServerLibraryStart start_server,
                std::string config_path = std::string());
  ~CHeadlessDeck();
  CHeadlessDeck(const CHeadlessDeck&) = delete;
  CHeadlessDeck& operator=(const CHeadlessDeck&) = delete;

  // The whole run; returns the exit code (0 after a stop request, 1 when start-up failed).
  int Run(const DeckOptions& options);
  // Ends the run; safe before the event loop runs, then Run ends as soon as start-up is done.
  void RequestStop();
  // The network side of the run (the control protocol and the library); set before Run.
  void SetControl(ControlSettings settings) { control_ = std::move(settings); }
  // The web server and the board its page and metrics show; set before Run.
  void SetHttp(HttpSettings http, BoardSource board) {
    http_ = std::move(http);
    board_ = std::move(board);
  }
  // The port of the control protocol while it is served, else 0.
  int ControlPort() const { return network_ ? network_->Port() : 0; }
  // The port of the web server while it serves, else 0.
  int HttpPort() const { return network_ ? network_->HttpPort() : 0; }

  // The tape a run uses: the option's, else the newest of the recent-file list; empty for none.
  static std::string StartupTape(const DeckOptions& options, const CRecentFileList& recent);

 private:
  // Start-up up to serving the port; false (with the reason written) when the deck cannot serve.
  bool Start(const DeckOptions& options);
  // The receiver before the player, the player before the server library; then the
  // configuration is written.
  void Shutdown();
  // The panel's tick without the panel: the time read (it keeps End_Of_Tape current), then the
  // status refresh that the time replies' lock flag is taken from.
  void Tick();
  void Log(const std::string& text) const;
  // The control protocol and the library, once the deck serves; false (with the reason
  // written) when the server cannot listen.
  bool StartNetwork(const std::string& port, const std::string& tape);
  // A tape from the network's library, loaded as at start-up; 0 or the failing result.
  HRESULT LoadFromNetwork(const std::string& path);

  CConfigStore config_;
  CRecentFileList recent_;
  PlayerFactory player_factory_;
  ServerLibraryStart start_server_;
  ServerLibrary server_;
  std::unique_ptr<CVtrDeck> deck_;
  QTimer tick_timer_;  // on the event loop's thread; stopped before the deck goes
  ControlSettings control_;
  HttpSettings http_;
  BoardSource board_;
  std::unique_ptr<CDeckNetwork> network_;
  bool joined_ = false;
  bool stop_requested_ = false;
};

}  // namespace vxr
