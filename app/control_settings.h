#pragma once

#include <string>
#include <vector>

#include "app/config_store.h"
#include "app/deck_options.h"
#include "netctl/control_address.h"

namespace vxr {

// The network side of a run: the control server's address and allow-list, and the library's
// folders. The command line's --control, --control-allow and --library win over the INI's
// [Control] listen= and allow= and its [Library] list (1=, 2=, ...).
struct ControlSettings {
  bool enabled = false;  // --control given, or [Control] listen= set
  ControlEndpoint endpoint;
  CAllowList allow;
  std::string allow_text;
  std::vector<std::string> libraries;  // empty: the folder of the current tape
};

inline constexpr const char* kControlSection = "Control";
inline constexpr const char* kLibrarySection = "Library";

// False with a one-line reason for a malformed address or allow-list, or a non-loopback address
// without an allow-list (the program then ends with exit code 2).
bool ReadControlSettings(const DeckOptions& options, const CConfigStore& config,
                         ControlSettings* settings, std::string* error);

}  // namespace vxr
