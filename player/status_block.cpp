#include "player/status_block.h"

#include <cstring>

namespace vxr {

void CStatusBlock::CopyOut(std::uint8_t* destination, unsigned start, unsigned count) const {
  std::memcpy(destination, m_bytes + start, count);
}

}  // namespace vxr
