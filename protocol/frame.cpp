#include "protocol/frame.h"

#include <cmath>

namespace vxr {

int Checksum(const std::uint8_t* bytes, int count) {
  int sum = 0;
  for (int i = 0; i < count; ++i) sum += bytes[i];
  return sum;
}

int BuildReply(std::uint8_t cmd1_source, std::uint8_t cmd2, const std::uint8_t* data, int n,
               std::uint8_t* out, int out_size) {
  if (n > 15) return -1;
  if (n < 0) n = 0;
  if (out_size < n + 3) return n + 3;
  out[0] = static_cast<std::uint8_t>((cmd1_source & opcodes::kGroupMask) | n);
  out[1] = cmd2;
  for (int i = 0; i < n; ++i) out[2 + i] = data[i];
  out[n + 2] = static_cast<std::uint8_t>(Checksum(out, n + 2));
  return 0;
}

void MakeNak(std::uint8_t error_code, std::uint8_t out[4]) {
  out[0] = opcodes::kNakCmd1;
  out[1] = opcodes::kNakCmd2;
  out[2] = error_code;
  out[3] = static_cast<std::uint8_t>(Checksum(out, 3));
}

double SpeedFromData(std::uint8_t coarse, std::uint8_t fine) {
  const double c = coarse;
  const double f = fine;
  const double base = coarse == 0 ? 0.0 : std::pow(10.0, c * 0.03125 - 2.0);
  if (fine == 0) return base;
  const double step = std::pow(10.0, 0.03125);
  if (coarse == 0) return step * 0.00390625 * f;
  return base * (1.0 + (step - 1.0) * 0.00390625 * f);
}

}  // namespace vxr
