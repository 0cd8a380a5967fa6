#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/config_store.h"
#include "app/control_settings.h"
#include "app/deck_options.h"
#include "app/http_settings.h"
#include "app/recent_file_list.h"
#include "app/server_library.h"
#include "app/web_deck_control.h"
#include "panel/panel_prompter.h"
#include "player/deck_player.h"

namespace vxr {

class CMainPanelDialog;

// The application: start-up and shutdown around the one modal panel. It reads the recent-file
// list, starts the playback server library, runs the panel (which creates and releases the
// deck and its player), shuts the server library down after the panel has released the player,
// and writes the recent-file list at exit.
class CDeckApp {
 public:
  using ServerLibrary = vxr::ServerLibrary;
  using ServerLibraryStart = vxr::ServerLibraryStart;

  // app_name names the configuration file and captions the messages. The store is the
  // program's own unless config_path is given (tests).
  CDeckApp(std::string app_name, PlayerFactory player_factory, ServerLibraryStart start_server,
           std::string config_path = std::string());
  ~CDeckApp();
  CDeckApp(const CDeckApp&) = delete;
  CDeckApp& operator=(const CDeckApp&) = delete;

  // The executable's file name without folders and without its extension (from the first dot
  // of the file name).
  static std::string AppNameFromPath(std::string_view executable_path);

  // The skin the panel loads; by default the one next to the executable.
  void SetSkinPath(std::string path) { skin_path_ = std::move(path); }
  // The control protocol and the library the panel serves.
  void SetControl(ControlSettings settings) { control_ = std::move(settings); }
  // The web server the panel serves, and the board its page and metrics show.
  void SetHttp(HttpSettings http, BoardSource board) {
    http_ = std::move(http);
    board_ = std::move(board);
  }
  // Message boxes and the file dialog; by default Qt's, with the tape dialog.
  void SetPrompter(CPanelPrompter* prompter) { prompter_ = prompter; }

  // The whole run: start-up, the panel until it ends, shutdown. Returns the exit code: 0 once
  // the panel has run and ended, 1 when the skin could not be loaded or the server library
  // could not be joined.
  int Run(const DeckOptions& options);

  // Ends the run as POWER does (SIGINT, SIGTERM and SIGHUP). Safe at any time: before the panel
  // runs, the panel ends as soon as it has started.
  void RequestPowerOff();

  CConfigStore& Config() { return config_; }
  const CRecentFileList& RecentFiles() const { return recent_; }
  // The panel while Run runs it, else null.
  CMainPanelDialog* Panel() const { return panel_; }

 private:
  CConfigStore config_;
  CRecentFileList recent_;
  PlayerFactory player_factory_;
  ServerLibraryStart start_server_;
  std::string skin_path_;
  ControlSettings control_;
  HttpSettings http_;
  BoardSource board_;
  CPanelPrompter* prompter_ = nullptr;
  CMainPanelDialog* panel_ = nullptr;
  bool power_off_requested_ = false;
};

}  // namespace vxr
