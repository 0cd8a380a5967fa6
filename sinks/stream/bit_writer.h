#pragma once

#include <cstdint>
#include <vector>

namespace vxr {

// Writes a bit string most significant bit first, as the syntax of video streams reads it.
class CBitWriter {
 public:
  // The low `bits` bits of value (0 to 32), most significant first.
  void Write(std::uint32_t value, int bits);
  void WriteBit(bool bit) { Write(bit ? 1 : 0, 1); }
  // Ends the string on a byte boundary: a one, then zeros up to the boundary; nothing when it is
  // already on one. The padding of a message payload in H.264's SEI.
  void AlignWithOne();
  bool Aligned() const { return bit_count_ % 8 == 0; }
  std::size_t BitCount() const { return bit_count_; }
  // The bytes written, the last one filled with zeros when not whole.
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t bit_count_ = 0;
};

}  // namespace vxr
