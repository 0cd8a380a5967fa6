#pragma once

namespace vxr {

// Keeps the board's server loaded while the deck runs (class ClvResourceHolder, created
// in-process at start-up and released at shutdown). It has no calls.
class IClvResourceHolder {
 public:
  virtual ~IClvResourceHolder() = default;
};

}  // namespace vxr
