#include "tools/vxrctl/edit_controller.h"

#include "protocol/frame.h"

namespace vxr::vxrctl {

bool CEditController::Transact(const Bytes& frame, int timeout_ms, Bytes* reply) {
  reply->clear();
  link_.PurgeInput();
  if (link_.WriteBytes(frame.data(), static_cast<int>(frame.size())) !=
      static_cast<int>(frame.size())) {
    return false;
  }
  std::uint8_t buffer[kMaxFrameSize];
  if (link_.ReadBytesWithin(buffer, 1, timeout_ms) != 1) return true;
  const int length = FrameLength(buffer[0]);
  // The rest follows the first byte at once; a gap longer than the inter-byte time-out ends it.
  const int rest = link_.ReadBytesWithin(buffer + 1, length - 1, CSerialLink::kInterByteTimeoutMs);
  reply->assign(buffer, buffer + 1 + rest);
  return true;
}

}  // namespace vxr::vxrctl
