#include "app/main_panel_dialog.h"

#include <QApplication>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "app/remote_port_text.h"
#include "app/settings_dialog.h"
#include "app/tape_file_dialog.h"
#include "protocol/serial_link.h"
#include "protocol/status_bits.h"

namespace vxr {
namespace {

constexpr HRESULT kNoBoardResult = HRESULT_FROM_WIN32(ERROR_BAD_DEVICE);  // 0x800704B0
constexpr int kTickStatusCount = 9;
constexpr int kLoadStatusCount = 2;
constexpr int kRemoteStatusCount = 1;
// The port of a deck driven from the network alone (--port none with --control or --http).
constexpr const char* kNetworkOnlyPort = "none";
// A time field that the read did not fill.
constexpr int kUnread = INT_MIN;

// printf-style formatting into a string of any length.
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.pop_back();
  }
  va_end(args);
  return text;
}

std::string StartupFailureText(HRESULT result) {
  if (result == REGDB_E_CLASSNOTREG) {
    return "\"ClvPlayServer\" class is not in registration database?\n"
           "Please install \"Calvera Software\" version 1.25 or later.";
  }
  if (result == kNoBoardResult) return "\"Calvera\" video I/O card was not found";
  return Format("Initialization error\n\"On()\" HRESULT 0x%X(%d)", static_cast<unsigned>(result),
                static_cast<int>(result));
}

bool TapeIsOut(const std::uint8_t* status) { return (status[0] & status::kTapeOutMask) != 0; }

}  // namespace

class CMainPanelDialog::ModalScope {
 public:
  explicit ModalScope(CMainPanelDialog& panel) : panel_(panel) { ++panel_.modal_depth_; }
  ~ModalScope() {
    if (--panel_.modal_depth_ == 0 && panel_.power_requested_) {
      CMainPanelDialog& panel = panel_;
      QTimer::singleShot(0, &panel, [&panel] { panel.PowerOffWhenIdle(); });
    }
  }
  ModalScope(const ModalScope&) = delete;
  ModalScope& operator=(const ModalScope&) = delete;

 private:
  CMainPanelDialog& panel_;
};

CMainPanelDialog::CMainPanelDialog(CConfigStore& config, CRecentFileList& recent,
                                   PlayerFactory player_factory, QWidget* parent)
    : CSkinDialog(parent),
      config_(config),
      recent_(recent),
      player_factory_(std::move(player_factory)) {
  icon_.addFile(":/icons/vxrdeck_32.png", QSize(32, 32));
  icon_.addFile(":/icons/vxrdeck_16.png", QSize(16, 16));
  timer_.setInterval(kTimerPeriodMs);
  connect(&timer_, &QTimer::timeout, this, &CMainPanelDialog::OnTimerTick);
}

CMainPanelDialog::~CMainPanelDialog() {
  // A panel destroyed without ending still stops the edit controller's service first.
  timer_.stop();
  if (deck_) {
    deck_->StopReceiver();
    deck_->ReleasePlayer();
    deck_.reset();
  }
}

const CSkinDialog::CommandTable& CMainPanelDialog::Commands() const {
  using P = CMainPanelDialog;
  static const CommandEntry kEntries[] = {
      {kLoadTapeId, &Invoke<P, &P::OnLoadTape>}, {kPowerId, &Invoke<P, &P::OnPower>},
      {kSettingsId, &Invoke<P, &P::OnSettings>}, {kRemoteId, &Invoke<P, &P::OnRemote>},
      {kRewindId, &Invoke<P, &P::OnRewind>},     {kPlayId, &Invoke<P, &P::OnPlay>},
      {kFastFwdId, &Invoke<P, &P::OnFastFwd>},   {kStopId, &Invoke<P, &P::OnStop>},
      {kEjectId, &Invoke<P, &P::OnEject>},
  };
  static const CommandTable kTable{&SkinDialogCommands(), kEntries};
  return kTable;
}

bool CMainPanelDialog::OnInitDialog() {
  CSkinDialog::OnInitDialog();
  // The task bar and the window manager take the icon from here; drawing it while the window is
  // minimised is theirs too.
  setWindowIcon(icon_);
  setWindowTitle(kTitle);
  std::memset(status_snapshot_, 0, sizeof status_snapshot_);
  {
    ModalScope scope(*this);
    skin_loaded_ = LoadSkin(!power_requested_);
  }
  if (!skin_loaded_) {
    OnCommand(kIdCancel);
    return true;
  }
  running_ = true;
  port_name_ = config_.Read(kSettingsSection, kPortKey, kDefaultPort);
  if (startup_port_) port_name_ = *startup_port_;

  deck_.reset(new (std::nothrow) CVtrDeck(player_factory_));
  if (deck_) {
    const HRESULT result = deck_->CreatePlayer();
    if (FAILED(result)) {
      deck_.reset();
      ShowMessage(StartupFailureText(result), MessageIcon::kError);
    } else {
      deck_->SetLocal(1);
      Button(1).SetLamp(true);
      Button(1).SetPressed(true);
    }
  }
  if (!deck_) {
    Label(0).SetText(kNoDeckText, false);
    return true;
  }
  timer_.start();
  if (control_.enabled || http_.enabled) StartNetwork();
  startup_remote_pending_ = startup_remote_;
  if (startup_tape_) {
    startup_tape_pending_ = true;
    QTimer::singleShot(0, this, [this] { RunStartupTape(); });
  }
  return true;
}

void CMainPanelDialog::OnDestroy() {
  CSkinDialog::OnDestroy();
  timer_.stop();
  running_ = false;
  startup_tape_pending_ = false;
  startup_remote_pending_ = false;
  // The network reads and drives the deck: it ends first.
  if (network_) network_->Stop();
  network_.reset();
  if (deck_) {
    // The receiver answers from the player: it ends before the player goes.
    deck_->StopReceiver();
    deck_->ReleasePlayer();
    deck_.reset();
  }
}

void CMainPanelDialog::OnTimerTick() {
  if (!deck_) return;
  // A read that fails without a result of its own to give reports success and leaves the
  // fields alone: only fields it actually filled are shown.
  int hours = kUnread, minutes = kUnread, seconds = kUnread, frames = kUnread;
  if (deck_->GetTimeFields(&hours, &minutes, &seconds, &frames) == 0 && hours != kUnread &&
      minutes != kUnread && seconds != kUnread && frames != kUnread) {
    Timecode().SetTime(hours, minutes, seconds, frames);
  }
  std::uint8_t status[16] = {};
  deck_->RefreshStatus(kTickStatusCount, status, nullptr);
  if (std::memcmp(status, status_snapshot_, sizeof status) != 0) {
    std::memcpy(status_snapshot_, status, sizeof status);
    SetLamps(status);
  }
  if (startup_remote_pending_ && !startup_tape_pending_) {
    startup_remote_pending_ = false;
    OnRemote();
  }
}

void CMainPanelDialog::SetLamps(const std::uint8_t s[16]) {
  using namespace status;
  Button(7).SetLamp(Stop.In(s));
  Button(5).SetLamp(Play.In(s));
  Button(4).SetLamp(Rewind.In(s));
  Button(6).SetLamp(Fast_FWD.In(s));
  Indicator(1).SetLamp(Shuttle.In(s) || TSO_Mode.In(s));
  Indicator(2).SetLamp(Jog.In(s));
  Indicator(3).SetLamp(Servo_Lock.In(s));
  if (End_Of_Tape.In(s) || Near_EOT.In(s)) {
    int hours = kUnread, minutes = kUnread, seconds = kUnread, frames = kUnread;
    deck_->GetTimeFields(&hours, &minutes, &seconds, &frames);
    const bool at_start = hours == 0 && minutes == 0 && seconds == 0 && frames == 0;
    Indicator(4).SetLamp(at_start);
    Indicator(5).SetLamp(!at_start);
  } else {
    Indicator(4).SetLamp(false);
    Indicator(5).SetLamp(false);
  }
  // Indicator 7 shows motion in the play direction: this step only ever lights it.
  const bool moving = Jog.In(s) || Shuttle.In(s) || TSO_Mode.In(s);
  if (Play.In(s) || Fast_FWD.In(s) || (moving && !Still.In(s) && !Reverse.In(s))) {
    Indicator(7).SetLamp(true);
  }
  Indicator(8).SetLamp(Still.In(s));
  if (Still.In(s)) Indicator(7).SetLamp(false);
  Indicator(6).SetLamp(Reverse.In(s));
  if (Reverse.In(s)) Indicator(7).SetLamp(false);
  if (Eject.In(s)) {
    Button(8).SetLamp(true);
    Button(8).SetPressed(true);
    Label(0).SetText(kEjectingText, false);
  } else {
    Button(8).SetLamp(false);
    Button(8).SetPressed(false);
  }
  if (TapeIsOut(s)) {
    Label(0).SetText(kNoTapeText, false);
    Indicator(7).SetLamp(false);
  }
}

void CMainPanelDialog::OnPower() { OnCommand(kIdOk); }

void CMainPanelDialog::OnRemote() {
  if (!deck_) return;
  deck_->RefreshStatus(kRemoteStatusCount, nullptr, nullptr);
  if (status::Local.In(status_snapshot_)) {
    if (deck_->IsReceiverStopped() == 1) {
      // No message box (the panel stays as it was), but a user without rights on the device
      // must be able to see why: one line on standard error.
      const HRESULT result = deck_->StartReceiver(port_name_.c_str());
      if (FAILED(result)) {
        Prompter().Notice(
            RemoteFailedText(config_.AppName(), port_name_, result,
                             CheckPortRights(CSerialLink::DevicePath(port_name_.c_str()))));
        return;
      }
      Prompter().Notice(RemoteServingText(config_.AppName(), port_name_));
      config_.Write(kSettingsSection, kPortKey, port_name_);
    }
    deck_->SetLocal(0);
    Button(3).SetLamp(true);
    Button(3).SetPressed(true);
  } else {
    deck_->SetLocal(1);
    Button(3).SetLamp(false);
    Button(3).SetPressed(false);
  }
}

void CMainPanelDialog::OnSettings() {
  if (power_requested_) return;
  CSettingsDialog dialog(this);
  dialog.SetReadOnly(!deck_ || deck_->IsReceiverStopped() == 0);
  dialog.SetPortName(port_name_);
  int result;
  {
    ModalScope scope(*this);
    result = dialog.exec();
  }
  if (result == QDialog::Accepted) port_name_ = dialog.PortName();
}

void CMainPanelDialog::OnRewind() {
  if (deck_) deck_->PanelRewind();
}
void CMainPanelDialog::OnPlay() {
  if (deck_) deck_->PanelPlay();
}
void CMainPanelDialog::OnFastFwd() {
  if (deck_) deck_->PanelFastFwd();
}
void CMainPanelDialog::OnStop() {
  if (deck_) deck_->PanelStop();
}
void CMainPanelDialog::OnEject() {
  if (deck_) deck_->PanelEject();
}

void CMainPanelDialog::OnLoadTape() { LoadTape(std::nullopt); }

void CMainPanelDialog::RunStartupTape() {
  if (startup_tape_pending_ && !power_requested_) LoadTape(startup_tape_);
  startup_tape_pending_ = false;
}

void CMainPanelDialog::LoadTape(const std::optional<std::string>& chosen) {
  if (!deck_) return;
  std::uint8_t status[16] = {};
  deck_->RefreshStatus(kLoadStatusCount, status, nullptr);
  if (!TapeIsOut(status)) {
    ShowMessage(kTapeLoadedText, MessageIcon::kWarning);
    return;
  }
  std::string path;
  if (chosen) {
    path = *chosen;
  } else {
    if (power_requested_) return;
    ModalScope scope(*this);
    path = Prompter().OpenFileName(this, "Open", std::string(), CTapeFileDialog::kFilter);
  }
  // The panel may have ended while the file dialog was open.
  if (path.empty() || !deck_) return;
  Label(0).SetText(kLoadingText, true);
  const HRESULT result = deck_->InsertTape(path);
  if (result != 0) {
    // A failed load clears the player's whole status block, Local with it; the deck stays
    // under the control it was under, as the REMOTE button still shows.
    deck_->SetLocal(status::Local.In(status) ? 1 : 0);
    Label(0).SetText(kNoTapeText, false);
    ShowMessage(Format("Error HRESULT 0x%x load as tape\n'%s'", static_cast<unsigned>(result),
                       path.c_str()),
                MessageIcon::kWarning);
    return;
  }
  recent_.Add(path);
  Label(0).SetText(path, true);
  if (network_) network_->TapeLoaded(path);
}

bool CMainPanelDialog::NetworkOnly() const {
  return (control_.enabled || http_.enabled) && port_name_ == kNetworkOnlyPort;
}

void CMainPanelDialog::StartNetwork() {
  NetworkDeckHooks hooks;
  hooks.set_remote = [this](bool remote) { RemoteFromNetwork(remote); };
  hooks.load_tape = [this](const std::string& path) { return LoadFromNetwork(path); };
  network_ = std::make_unique<CDeckNetwork>(config_.AppName(), config_.FilePath());
  network_->SetHttp(http_, board_);
  std::string error;
  const std::string tape = startup_tape_.value_or(std::string());
  if (!network_->Start(control_, *deck_, std::move(hooks), tape, &error)) {
    network_.reset();
    Prompter().Notice(config_.AppName() + ": cannot serve the network: " + error);
    return;
  }
  if (NetworkOnly()) {
    // Driven from the network alone: remote control from the start, no port to open.
    deck_->SetLocal(0);
    Button(3).SetLamp(true);
    Button(3).SetPressed(true);
  }
}

void CMainPanelDialog::RemoteFromNetwork(bool remote) {
  if (!deck_) return;
  OnTimerTick();
  if (remote != status::Local.In(status_snapshot_)) return;
  if (NetworkOnly()) {
    deck_->SetLocal(remote ? 0 : 1);
    Button(3).SetLamp(remote);
    Button(3).SetPressed(remote);
  } else {
    OnRemote();
  }
  OnTimerTick();
}

HRESULT CMainPanelDialog::LoadFromNetwork(const std::string& path) {
  if (!deck_) return E_FAIL;
  std::uint8_t status[16] = {};
  deck_->RefreshStatus(kLoadStatusCount, status, nullptr);
  Label(0).SetText(kLoadingText, true);
  const HRESULT result = deck_->InsertTape(path);
  if (result != 0) {
    deck_->SetLocal(status::Local.In(status) ? 1 : 0);
    Label(0).SetText(kNoTapeText, false);
    Prompter().Notice(Format("%s: cannot load tape %s (0x%x)", config_.AppName().c_str(),
                             path.c_str(), static_cast<unsigned>(result)));
    return result;
  }
  recent_.Add(path);
  Label(0).SetText(path, true);
  return 0;
}

void CMainPanelDialog::ShowMessage(const std::string& text, MessageIcon icon) {
  if (power_requested_) return;
  ModalScope scope(*this);
  Prompter().ShowMessage(this, config_.AppName(), text, icon);
}

void CMainPanelDialog::RequestPowerOff() {
  power_requested_ = true;
  CloseOpenDialogs();
  if (modal_depth_ == 0) QTimer::singleShot(0, this, [this] { PowerOffWhenIdle(); });
}

void CMainPanelDialog::CloseOpenDialogs() {
  // Each closed dialog leaves the modal stack; a bounded loop in case one refuses to go.
  for (int attempt = 0; attempt < 16; ++attempt) {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal == this) return;
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->reject();
    } else {
      modal->close();
    }
    if (modal->isVisible()) modal->hide();
  }
}

void CMainPanelDialog::PowerOffWhenIdle() {
  if (!power_requested_ || modal_depth_ > 0 || !running_) return;
  OnPower();
}

}  // namespace vxr
