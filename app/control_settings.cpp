#include "app/control_settings.h"

namespace vxr {
namespace {

constexpr const char* kListenKey = "listen";
constexpr const char* kAllowKey = "allow";

}  // namespace

bool ReadControlSettings(const DeckOptions& options, const CConfigStore& config,
                         ControlSettings* settings, std::string* error) {
  ControlSettings read;
  const std::string listen =
      options.control ? *options.control : config.Read(kControlSection, kListenKey, std::string());
  read.enabled = options.control.has_value() || !listen.empty();
  const std::string origin =
      options.control ? std::string("--control") : config.FilePath() + " [Control]";
  if (read.enabled && !ParseControlEndpoint(listen, &read.endpoint, error)) {
    *error = origin + ": " + *error;
    return false;
  }
  read.allow_text = options.control_allow
                        ? *options.control_allow
                        : config.ReadCommaList(kControlSection, kAllowKey, std::string());
  if (!read.allow.Parse(read.allow_text, error)) return false;
  if (read.enabled && !CheckControlAccess(read.endpoint, read.allow, error)) return false;
  read.libraries = options.libraries;
  for (int key = 1; options.libraries.empty(); ++key) {
    const std::string folder = config.Read(kLibrarySection, std::to_string(key), std::string());
    if (folder.empty()) break;
    read.libraries.push_back(folder);
  }
  *settings = std::move(read);
  return true;
}

}  // namespace vxr
