#pragma once

#include <string>

#include "platform/hresult.h"

namespace vxr {

// The lines the panel writes on standard error when REMOTE starts serving the edit
// controller's port or cannot open it, in the user's words: the port as chosen, the device it
// names, and why it failed. The panel shows no message box for either.

// What the system says of the user's rights on a device that refused to open.
struct PortRights {
  bool denied = false;  // the user may not read and write the device
  std::string group;    // the device's group, when known ("dialout")
};

// The rights of the user on device (a path): denied when the system refuses read and write.
PortRights CheckPortRights(const std::string& device);

// "vxrdeck: REMOTE serves the edit controller on COM1 (/dev/ttyS0)"
std::string RemoteServingText(const std::string& app_name, const std::string& port);

// "vxrdeck: REMOTE cannot open port COM1 (/dev/ttyS0): permission denied — is the user in
// group dialout?". rights is only read for a refusal (access denied), which is either the user's
// rights or another program holding the port.
std::string RemoteFailedText(const std::string& app_name, const std::string& port, HRESULT result,
                             const PortRights& rights);

}  // namespace vxr
