#include "protocol/timecode.h"

namespace vxr {
namespace {

std::uint32_t Field(std::uint32_t byte, std::uint32_t tens_mask) {
  return ((byte >> 4) & tens_mask) * 10 + (byte & 0x0F);
}

std::uint32_t Bcd(std::uint32_t n, std::uint32_t tens_mask) {
  return (((n / 10) & tens_mask) << 4) | (n % 10);
}

}  // namespace

std::uint32_t Timecode::ToFrames(std::uint32_t fps) const {
  const std::uint32_t frames = Field(value & 0xFF, 0x3);
  const std::uint32_t seconds = Field((value >> 8) & 0xFF, 0x7);
  const std::uint32_t minutes = Field((value >> 16) & 0xFF, 0x7);
  const std::uint32_t hours = Field((value >> 24) & 0xFF, 0x3);
  return ((hours * 60 + minutes) * 60 + seconds) * fps + frames;
}

void Timecode::FromFrames(std::uint32_t frames, std::uint32_t fps) {
  if (fps == 0) fps = 1;
  const std::uint32_t f = frames % fps;
  const std::uint32_t total_seconds = frames / fps;
  const std::uint32_t s = total_seconds % 60;
  const std::uint32_t m = (total_seconds / 60) % 60;
  const std::uint32_t h = (total_seconds / 3600) % 40;
  const std::uint32_t time =
      Bcd(f, 0x3) | (Bcd(s, 0x7) << 8) | (Bcd(m, 0x7) << 16) | (Bcd(h, 0x3) << 24);
  value = (value & kFlagMask) | time;
}

Timecode Timecode::FromBytes(const std::uint8_t bytes[4]) {
  return Timecode{
      static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
      (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24)};
}

void Timecode::ToBytes(std::uint8_t bytes[4]) const {
  for (int i = 0; i < 4; ++i) bytes[i] = Byte(i);
}

int Timecode::Hours() const { return static_cast<int>(Field((value >> 24) & 0xFF, 0x3)); }
int Timecode::Minutes() const { return static_cast<int>(Field((value >> 16) & 0xFF, 0x7)); }
int Timecode::Seconds() const { return static_cast<int>(Field((value >> 8) & 0xFF, 0x7)); }
int Timecode::Frames() const { return static_cast<int>(Field(value & 0xFF, 0x3)); }

}  // namespace vxr
