#pragma once

#include <atomic>
#include <cstdint>

namespace vxr {

// The system-wide frame rate of every timecode conversion: 25 when the board's output runs at
// exactly 25.0 frames per second, else 30. 25 until a player sets it.
inline std::atomic<int> TimecodeRate{25};

// HH:MM:SS:FF as 32-bit packed BCD, byte 0 (frames) first on the wire. Byte 0 bits 6-7,
// byte 1 bit 7, byte 2 bit 7 and byte 3 bits 6-7 are flag bits and not part of the time.
struct Timecode {
  std::uint32_t value = 0;

  static constexpr std::uint32_t kFlagMask = 0xC08080C0u;

  // Frame number at fps; digits are not validated (a units nibble of A-F counts 10-15).
  std::uint32_t ToFrames(std::uint32_t fps) const;

  // Encodes the frame number at fps, keeping the flag bits. Hours wrap at 40: the hours tens
  // digit has two bits, so 40 hours and more cannot be written.
  void FromFrames(std::uint32_t frames, std::uint32_t fps);

  static Timecode FromBytes(const std::uint8_t bytes[4]);
  void ToBytes(std::uint8_t bytes[4]) const;
  std::uint8_t Byte(int index) const { return static_cast<std::uint8_t>(value >> (8 * index)); }

  // The four fields with the flag bits masked off.
  int Hours() const;
  int Minutes() const;
  int Seconds() const;
  int Frames() const;
};

}  // namespace vxr
