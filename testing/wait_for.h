#pragma once

#include <functional>

namespace vxr::testing {

// Polls condition every poll_ms until it holds or timeout_ms has passed; the last answer.
bool WaitFor(const std::function<bool()>& condition, int timeout_ms, int poll_ms = 20);

}  // namespace vxr::testing
