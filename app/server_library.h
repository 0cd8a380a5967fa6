#pragma once

#include <functional>
#include <memory>

namespace vxr {

// The running server library (the software board on this platform); letting go of it shuts the
// library down.
using ServerLibrary = std::shared_ptr<void>;
using ServerLibraryStart = std::function<ServerLibrary()>;

}  // namespace vxr
