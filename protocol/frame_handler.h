#pragma once

#include <cstdint>

namespace vxr {

// Whoever answers the edit controller. The control port service hands it each complete frame
// received and writes back the reply it returns, whose length is (reply[0] AND 0F) + 3.
// Called on the receiver thread only, one frame at a time; the reply stays valid until the next
// call.
class IFrameHandler {
 public:
  virtual ~IFrameHandler() = default;
  virtual const std::uint8_t* ProcessCommand(const std::uint8_t* frame, int length) = 0;
};

}  // namespace vxr
