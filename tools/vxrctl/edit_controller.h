#pragma once

#include <cstdint>

#include "protocol/serial_link.h"
#include "tools/vxrctl/controller_frames.h"

namespace vxr::vxrctl {

// The controller's end of the line: sends one frame and waits a bounded time for its reply.
class CEditController {
 public:
  // Opens the port (the deck's port names); 0 or the Windows error number.
  std::uint32_t Open(const char* port_name) { return link_.OpenPort(port_name); }

  // Sends frame in one write and reads one reply by its length rule: the first byte within
  // timeout_ms, the rest as long as it follows closely. Stale bytes from an earlier late reply
  // are discarded first. Returns the reply, short when it stopped early, empty when none came.
  // False when the frame could not be written.
  bool Transact(const Bytes& frame, int timeout_ms, Bytes* reply);

 private:
  CSerialLink link_;
};

}  // namespace vxr::vxrctl
