#include "app/deck_app.h"

#include <memory>

#include "app/main_panel_dialog.h"
#include "app/tape_file_dialog.h"
#include "player/server_registry.h"

namespace vxr {
namespace {

// Qt's message boxes, and the tape dialog for choosing a tape.
class CDeckPrompter : public CPanelPrompter {
 public:
  std::string OpenFileName(QWidget* owner, const std::string& caption, const std::string& directory,
                           const std::string& filter) override {
    return CTapeFileDialog::Choose(owner, caption, directory, filter);
  }
};

CConfigStore MakeStore(std::string app_name, std::string config_path) {
  if (config_path.empty()) return CConfigStore(std::move(app_name));
  return CConfigStore(std::move(app_name), std::move(config_path));
}

}  // namespace

CDeckApp::CDeckApp(std::string app_name, PlayerFactory player_factory,
                   ServerLibraryStart start_server, std::string config_path)
    : config_(MakeStore(std::move(app_name), std::move(config_path))),
      player_factory_(std::move(player_factory)),
      start_server_(std::move(start_server)) {}

CDeckApp::~CDeckApp() = default;

std::string CDeckApp::AppNameFromPath(std::string_view executable_path) {
  const std::size_t slash = executable_path.rfind('/');
  std::string_view name =
      slash == std::string_view::npos ? executable_path : executable_path.substr(slash + 1);
  return std::string(name.substr(0, name.find('.')));
}

int CDeckApp::Run(const DeckOptions& options) {
  recent_.ReadFrom(config_);
  if (FAILED(JoinServerLibrary())) return kExitFailed;
  ServerLibrary server = start_server_ ? start_server_() : nullptr;

  static CDeckPrompter deck_prompter;
  auto panel = std::make_unique<CMainPanelDialog>(config_, recent_, player_factory_);
  panel->SetPrompter(prompter_ != nullptr ? prompter_ : &deck_prompter);
  if (!skin_path_.empty()) panel->SetSkinPath(skin_path_);
  if (options.port) panel->SetStartupPort(*options.port);
  if (options.tape) panel->SetStartupTape(*options.tape);
  panel->SetStartupRemote(options.remote);
  panel->SetControl(control_);
  panel->SetHttp(http_, board_);
  panel_ = panel.get();
  if (power_off_requested_) panel->RequestPowerOff();
  // The panel's end releases the deck and the player (its destroy hook runs before exec
  // returns), so the server library is still there for them.
  panel->exec();
  panel_ = nullptr;
  const bool skin_loaded = panel->SkinLoaded();

  LeaveServerLibrary();
  server.reset();
  panel.reset();
  recent_.WriteTo(config_);
  return skin_loaded ? kExitOk : kExitFailed;
}

void CDeckApp::RequestPowerOff() {
  power_off_requested_ = true;
  if (panel_ != nullptr) panel_->RequestPowerOff();
}

}  // namespace vxr
