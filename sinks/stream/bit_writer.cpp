#include "sinks/stream/bit_writer.h"

namespace vxr {

void CBitWriter::Write(std::uint32_t value, int bits) {
  for (int i = bits - 1; i >= 0; --i) {
    if (bit_count_ % 8 == 0) bytes_.push_back(0);
    if ((value >> i) & 1u) bytes_.back() |= static_cast<std::uint8_t>(0x80u >> (bit_count_ % 8));
    ++bit_count_;
  }
}

void CBitWriter::AlignWithOne() {
  if (Aligned()) return;
  WriteBit(true);
  while (!Aligned()) WriteBit(false);
}

}  // namespace vxr
