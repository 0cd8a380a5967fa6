#include "app/headless_deck.h"

#include <QCoreApplication>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>

#include "app/port_setting.h"
#include "app/remote_port_text.h"
#include "app/termination_signals.h"
#include "platform/diagnostics.h"
#include "player/server_registry.h"
#include "protocol/serial_link.h"
#include "protocol/status_bits.h"

namespace vxr {
namespace {

constexpr const char* kLogTag = "Info Headless";
constexpr int kStatusCount = 1;
// The windowed deck's panel timer: its period and the status bytes each tick refreshes.
constexpr int kTickPeriodMs = 100;
constexpr int kTickStatusCount = 9;
// --port none with the control protocol: no edit controller, the network drives the deck.
constexpr const char* kNoPort = "none";

std::string HresultText(HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
  return text;
}

CConfigStore MakeStore(std::string app_name, std::string config_path) {
  if (config_path.empty()) return CConfigStore(std::move(app_name));
  return CConfigStore(std::move(app_name), std::move(config_path));
}

// Why a tape path cannot be a tape before the player is asked, in the user's words; empty when
// it names a regular file.
std::string TapeFileProblem(const std::string& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) return "no such file";
  if (error) return error.message();
  if (!std::filesystem::is_regular_file(status)) return "not a file";
  return std::string();
}

}  // namespace

CHeadlessDeck::CHeadlessDeck(std::string app_name, PlayerFactory player_factory,
                             ServerLibraryStart start_server, std::string config_path)
    : config_(MakeStore(std::move(app_name), std::move(config_path))),
      player_factory_(std::move(player_factory)),
      start_server_(std::move(start_server)) {
  tick_timer_.setInterval(kTickPeriodMs);
  QObject::connect(&tick_timer_, &QTimer::timeout, [this] { Tick(); });
}

CHeadlessDeck::~CHeadlessDeck() {
  if (deck_ || joined_ || server_) Shutdown();
}

std::string CHeadlessDeck::StartupTape(const DeckOptions& options, const CRecentFileList& recent) {
  if (options.tape) return *options.tape;
  return recent.Paths().empty() ? std::string() : recent.Paths().front();
}

int CHeadlessDeck::Run(const DeckOptions& options) {
  recent_.ReadFrom(config_);
  // Signals that come during start-up wait in the pipe and stop the loop as soon as it runs.
  CTerminationSignals termination([this] { RequestStop(); });
  if (!Start(options)) {
    Shutdown();
    return kExitFailed;
  }
  if (!stop_requested_) QCoreApplication::exec();
  Log("ending: the control port service stops and the configuration is written");
  Shutdown();
  Log("configuration written to " + config_.FilePath());
  return kExitOk;
}

void CHeadlessDeck::RequestStop() {
  stop_requested_ = true;
  QCoreApplication::quit();
}

bool CHeadlessDeck::Start(const DeckOptions& options) {
  const std::string tape = StartupTape(options, recent_);
  if (tape.empty()) {
    Log("no tape to load: give --tape PATH (else the newest entry of [" +
        std::string(CRecentFileList::kSection) + "] in " + config_.FilePath() + " is used)");
    return false;
  }
  if (const std::string problem = TapeFileProblem(tape); !problem.empty()) {
    Log("cannot load tape " + tape + ": " + problem);
    return false;
  }
  if (FAILED(JoinServerLibrary())) {
    Log("cannot join the playback server library");
    return false;
  }
  joined_ = true;
  if (start_server_) server_ = start_server_();

  deck_.reset(new (std::nothrow) CVtrDeck(player_factory_));
  const HRESULT created = deck_ ? deck_->CreatePlayer() : E_OUTOFMEMORY;
  if (FAILED(created)) {
    Log("cannot start the player (" + HresultText(created) + ")");
    return false;
  }
  // As the panel starts: local first, the tape loaded, then the controller's.
  deck_->SetLocal(1);
  const HRESULT loaded = deck_->InsertTape(tape);
  if (loaded != 0) {
    Log("cannot load tape " + tape + " (" + HresultText(loaded) + ")");
    return false;
  }
  recent_.Add(tape);
  Log("tape " + tape + " loaded");

  const std::string port =
      options.port ? *options.port
                   : config_.Read(kPortSettingSection, kPortSettingKey, kDefaultPortName);
  // The deck is the controller's before the port opens, so that no reply ever says Local.
  deck_->SetLocal(0);
  deck_->RefreshStatus(kStatusCount, nullptr, nullptr);
  const bool networked = control_.enabled || http_.enabled;
  if (networked && port == kNoPort) {
    tick_timer_.start();
    return StartNetwork(port, tape);
  }
  const HRESULT served = deck_->StartReceiver(port.c_str());
  if (FAILED(served)) {
    DebugOutput(kLogTag, RemoteFailedText(config_.AppName(), port, served,
                                          CheckPortRights(CSerialLink::DevicePath(port.c_str()))));
    return false;
  }
  config_.Write(kPortSettingSection, kPortSettingKey, port);
  DebugOutput(kLogTag, RemoteServingText(config_.AppName(), port));
  tick_timer_.start();
  return !networked || StartNetwork(port, tape);
}

void CHeadlessDeck::Tick() {
  if (!deck_) return;
  int hours = INT_MIN, minutes = INT_MIN, seconds = INT_MIN, frames = INT_MIN;
  deck_->GetTimeFields(&hours, &minutes, &seconds, &frames);
  std::uint8_t status[kStatusBlockSize] = {};
  deck_->RefreshStatus(kTickStatusCount, status, nullptr);
}

bool CHeadlessDeck::StartNetwork(const std::string& port, const std::string& tape) {
  NetworkDeckHooks hooks;
  hooks.set_remote = [this, port](bool remote) {
    // REMOTE as the panel's: the controller's port is served first, when there is one.
    if (remote && port != kNoPort && deck_->IsReceiverStopped() == 1) {
      const HRESULT served = deck_->StartReceiver(port.c_str());
      if (FAILED(served)) {
        DebugOutput(kLogTag,
                    RemoteFailedText(config_.AppName(), port, served,
                                     CheckPortRights(CSerialLink::DevicePath(port.c_str()))));
        return;
      }
    }
    deck_->SetLocal(remote ? 0 : 1);
  };
  hooks.load_tape = [this](const std::string& path) { return LoadFromNetwork(path); };
  network_ = std::make_unique<CDeckNetwork>(config_.AppName(), config_.FilePath());
  network_->SetHttp(http_, board_);
  std::string error;
  if (!network_->Start(control_, *deck_, std::move(hooks), tape, &error)) {
    Log("cannot serve the network: " + error);
    return false;
  }
  return true;
}

HRESULT CHeadlessDeck::LoadFromNetwork(const std::string& path) {
  std::uint8_t status[kStatusBlockSize] = {};
  deck_->RefreshStatus(kStatusCount, status, nullptr);
  const HRESULT loaded = deck_->InsertTape(path);
  if (loaded != 0) {
    // A failed load clears the player's whole status block, Local with it.
    deck_->SetLocal(status::Local.In(status) ? 1 : 0);
    Log("cannot load tape " + path + " (" + HresultText(loaded) + ")");
    return loaded;
  }
  recent_.Add(path);
  Log("tape " + path + " loaded");
  return 0;
}

void CHeadlessDeck::Shutdown() {
  tick_timer_.stop();
  // The network reads and drives the deck: it ends first.
  if (network_) network_->Stop();
  network_.reset();
  if (deck_) {
    // The receiver answers from the player: it ends before the player goes.
    deck_->StopReceiver();
    deck_->ReleasePlayer();
    deck_.reset();
  }
  if (joined_) {
    LeaveServerLibrary();
    joined_ = false;
  }
  server_.reset();
  recent_.WriteTo(config_);
}

void CHeadlessDeck::Log(const std::string& text) const {
  DebugOutput(kLogTag, config_.AppName() + ": " + text);
}

}  // namespace vxr
