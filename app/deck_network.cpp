#include "app/deck_network.h"

#include <cstdio>
#include <filesystem>
#include <functional>

#include "platform/diagnostics.h"

namespace vxr {
namespace {

constexpr const char* kLogTag = "Info Control";
constexpr const char* kStateSuffix = ".tapes";

std::string UniqueId(const std::string& config_path, int port) {
  const std::size_t hash = std::hash<std::string>{}(config_path + ":" + std::to_string(port));
  char text[24];
  constexpr unsigned long long kTwelveHexDigits = 0xFFFFFFFFFFFFull;
  std::snprintf(text, sizeof text, "%012llx",
                static_cast<unsigned long long>(hash) & kTwelveHexDigits);
  return text;
}

}  // namespace

CDeckNetwork::CDeckNetwork(std::string app_name, std::string config_path)
    : app_name_(std::move(app_name)), config_path_(std::move(config_path)) {}

CDeckNetwork::~CDeckNetwork() { Stop(); }

std::string CDeckNetwork::StateFolder() const {
  const std::filesystem::path ini(config_path_);
  return (ini.parent_path() / (app_name_ + kStateSuffix)).string();
}

bool CDeckNetwork::Start(const ControlSettings& settings, CVtrDeck& deck, NetworkDeckHooks hooks,
                         const std::string& current_tape, std::string* error) {
  std::vector<std::string> folders = settings.libraries;
  if (folders.empty() && !current_tape.empty()) {
    folders.push_back(std::filesystem::path(current_tape).parent_path().string());
  }
  library_ = std::make_unique<CTapeLibrary>(folders, StateFolder());
  library_->Rescan();
  LogProblems();
  // A load from the network tells the page's side too.
  hooks.load_tape = [this, load = std::move(hooks.load_tape)](const std::string& path) {
    const HRESULT loaded = load ? load(path) : E_FAIL;
    if (loaded == 0 && web_control_) web_control_->SetCurrentTape(path);
    return loaded;
  };
  control_ = std::make_unique<CNetworkControl>(deck, library_.get(), std::move(hooks));
  control_->SetCurrentTape(current_tape);

  if (settings.enabled) {
    ControlServerOptions options;
    options.endpoint = settings.endpoint;
    options.allow = settings.allow;
    options.identity.unique_id = UniqueId(config_path_, settings.endpoint.port);
    server_ = std::make_unique<CControlServer>(*control_, options,
                                               [this](const std::string& line) { Log(line); });
    if (!server_->Start(error)) {
      Stop();
      return false;
    }
  }
  if (http_.enabled && !StartWeb(deck, current_tape, error)) {
    Stop();
    return false;
  }
  library_->Watch(kRescanMs, [this] {
    LogProblems();
    if (server_) server_->Wake();
    if (web_) web_->Wake();
  });
  if (server_) {
    Log("control protocol on " + settings.endpoint.address + ":" + std::to_string(server_->Port()) +
        ", " + std::to_string(library_->Offered().size()) + " tapes in the library");
  }
  if (web_) {
    Log("web page, API and metrics on http://" + http_.address + ":" +
        std::to_string(web_->Port()) + "/" + (http_.token.empty() ? "" : " (a token is needed)"));
  }
  return true;
}

void CDeckNetwork::SetHttp(HttpSettings http, BoardSource board) {
  http_ = std::move(http);
  board_ = std::move(board);
}

bool CDeckNetwork::StartWeb(CVtrDeck& deck, const std::string& current_tape, std::string* error) {
  // The page shows the deck's newest log lines, whatever writes them.
  SetDiagnosticTap([this](std::string_view, std::string_view text) { log_ring_.Add(text); });
  tap_installed_ = true;
  web_control_ =
      std::make_unique<CWebDeckControl>(deck, *control_, library_.get(), log_ring_, board_);
  web_control_->SetCurrentTape(current_tape);
  WebServerOptions options;
  options.address = http_.address;
  options.port = http_.port;
  options.token = http_.token;
  options.host_names = http_.host_names;
  web_ = std::make_unique<CWebServer>(*web_control_, options,
                                      [this](const std::string& line) { Log(line); });
  if (!web_->Start(error)) {
    *error = "web server: " + *error;
    return false;
  }
  return true;
}

void CDeckNetwork::Stop() {
  // The library's rescans wake the server; the server reads the deck through the control.
  if (library_) library_->Stop();
  if (server_) server_->Stop();
  if (web_) web_->Stop();
  if (tap_installed_) SetDiagnosticTap(nullptr);
  tap_installed_ = false;
  web_.reset();
  web_control_.reset();
  server_.reset();
  control_.reset();
  library_.reset();
}

void CDeckNetwork::TapeLoaded(const std::string& path) {
  if (control_) control_->SetCurrentTape(path);
  if (web_control_) web_control_->SetCurrentTape(path);
  if (server_) server_->Wake();
  if (web_) web_->Wake();
}

void CDeckNetwork::Log(const std::string& line) const {
  DebugOutput(kLogTag, app_name_ + ": " + line);
}

void CDeckNetwork::LogProblems() {
  if (!library_) return;
  std::lock_guard lock(logged_mutex_);
  for (const LibraryTape& tape : library_->All()) {
    if (tape.playable) continue;
    if (logged_.insert(tape.path + "\n" + tape.problem).second) {
      Log("library: " + tape.path + " is not offered: " + tape.problem);
    }
  }
}

}  // namespace vxr
