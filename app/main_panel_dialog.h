#pragma once

#include <QIcon>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/config_store.h"
#include "app/control_settings.h"
#include "app/deck_network.h"
#include "app/http_settings.h"
#include "app/port_setting.h"
#include "app/recent_file_list.h"
#include "app/web_deck_control.h"
#include "deck/vtr_deck.h"
#include "panel/skin_dialog.h"
#include "player/deck_player.h"

namespace vxr {

// The deck's front panel, the program's only window. It loads the skin, creates the deck and
// its player, shows the timecode and the status lamps every 100 ms, drives the player from its
// transport buttons, loads tapes from the status label, hands the deck to the edit controller
// with REMOTE, chooses the port with SETTINGS and ends the program with POWER.
class CMainPanelDialog : public CSkinDialog {
 public:
  static constexpr const char* kTitle = "Calvera VXR";
  static constexpr int kTimerPeriodMs = 100;
  static constexpr const char* kNoTapeText = "No Tape - Click to Load";
  static constexpr const char* kEjectingText = "Ejecting...";
  static constexpr const char* kLoadingText = "Loading ...";
  static constexpr const char* kNoDeckText = "Click POWER button to close application";
  static constexpr const char* kTapeLoadedText =
      "\"Tape\" is loaded\nEJECT to load another AVI/TML";
  static constexpr const char* kSettingsSection = kPortSettingSection;
  static constexpr const char* kPortKey = kPortSettingKey;
  static constexpr const char* kDefaultPort = kDefaultPortName;
  // Commands of the panel's controls.
  static constexpr int kPowerId = kButtonIdBase + 1;
  static constexpr int kSettingsId = kButtonIdBase + 2;
  static constexpr int kRemoteId = kButtonIdBase + 3;
  static constexpr int kRewindId = kButtonIdBase + 4;
  static constexpr int kPlayId = kButtonIdBase + 5;
  static constexpr int kFastFwdId = kButtonIdBase + 6;
  static constexpr int kStopId = kButtonIdBase + 7;
  static constexpr int kEjectId = kButtonIdBase + 8;
  static constexpr int kLoadTapeId = kLabelIdBase + 0;

  // config gives the port and receives it; recent receives every tape loaded; the factory
  // makes the deck's player.
  CMainPanelDialog(CConfigStore& config, CRecentFileList& recent, PlayerFactory player_factory,
                   QWidget* parent = nullptr);
  ~CMainPanelDialog() override;

  // For this run: the port instead of the stored one (as if chosen in Settings), a tape loaded
  // once the panel runs (as if chosen from the status label) and, after that and the first
  // timer tick, REMOTE pressed once. Set before the panel is shown.
  void SetStartupPort(std::string port) { startup_port_ = std::move(port); }
  void SetStartupTape(std::string path) { startup_tape_ = std::move(path); }
  void SetStartupRemote(bool remote) { startup_remote_ = remote; }
  // The control protocol and the library for this run; set before the panel is shown. With the
  // port "none" the deck starts under remote control and goes remote without a port.
  void SetControl(ControlSettings settings) { control_ = std::move(settings); }
  void SetHttp(HttpSettings http, BoardSource board) {
    http_ = std::move(http);
    board_ = std::move(board);
  }
  // The control protocol's port while it is served, else 0.
  int ControlPort() const { return network_ ? network_->Port() : 0; }

  // Ends the panel as POWER does, from outside any handler (a termination signal): dialogs and
  // messages the panel has open are closed first, and the panel ends once they have returned.
  void RequestPowerOff();

  // One timer tick: the timecode, and the lamps and label when the status has changed.
  void OnTimerTick();

  const std::string& PortName() const { return port_name_; }
  CVtrDeck* Deck() const { return deck_.get(); }
  bool SkinLoaded() const { return skin_loaded_; }
  bool TimerActive() const { return timer_.isActive(); }
  const QIcon& Icon() const { return icon_; }

 protected:
  const CommandTable& Commands() const override;
  bool OnInitDialog() override;
  // Stops the control port service before the player goes, then deletes the deck.
  void OnDestroy() override;

  virtual void OnFastFwd();
  virtual void OnPlay();
  virtual void OnPower();
  virtual void OnRemote();
  virtual void OnRewind();
  virtual void OnSettings();
  virtual void OnStop();
  virtual void OnLoadTape();
  virtual void OnEject();

 private:
  // Counts the modal dialogs and messages the panel has open, so that a power-off request
  // waits for them to close.
  class ModalScope;

  void SetLamps(const std::uint8_t status[16]);
  // The load flow of the status label; with a path, that file instead of the file dialog.
  void LoadTape(const std::optional<std::string>& path);
  void RunStartupTape();
  // The network's side: the control protocol's server over the deck, its REMOTE/LOCAL and its
  // loads from the library (no message box: a line on standard error when a load fails).
  void StartNetwork();
  void RemoteFromNetwork(bool remote);
  HRESULT LoadFromNetwork(const std::string& path);
  bool NetworkOnly() const;
  // A message box captioned with the application name; skipped once the panel is ending.
  void ShowMessage(const std::string& text, MessageIcon icon);
  void CloseOpenDialogs();
  void PowerOffWhenIdle();

  CConfigStore& config_;
  CRecentFileList& recent_;
  PlayerFactory player_factory_;
  std::string port_name_;
  QIcon icon_;
  std::unique_ptr<CVtrDeck> deck_;
  std::uint8_t status_snapshot_[16] = {};
  QTimer timer_;
  bool skin_loaded_ = false;

  ControlSettings control_;
  HttpSettings http_;
  BoardSource board_;
  std::unique_ptr<CDeckNetwork> network_;

  std::optional<std::string> startup_port_;
  std::optional<std::string> startup_tape_;
  bool startup_remote_ = false;
  bool startup_tape_pending_ = false;
  bool startup_remote_pending_ = false;

  bool running_ = false;          // from a successful initialisation until the destroy hook
  bool power_requested_ = false;  // a power-off waits for the open dialogs to close
  int modal_depth_ = 0;
};

}  // namespace vxr
