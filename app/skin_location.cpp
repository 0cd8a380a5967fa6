#include "app/skin_location.h"

#include <filesystem>
#include <system_error>

#include "panel/skin_dialog.h"

namespace vxr {

std::string FindSkinPath(std::string_view executable_path) {
  const std::string beside = SkinPathForExecutable(executable_path);
  std::error_code error;
  if (std::filesystem::is_regular_file(beside, error)) return beside;
  const std::filesystem::path skin(beside);
  const std::filesystem::path installed =
      (skin.parent_path() / kInstalledDataFolder / skin.filename()).lexically_normal();
  if (std::filesystem::is_regular_file(installed, error)) return installed.string();
  return beside;
}

}  // namespace vxr
