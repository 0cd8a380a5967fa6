#pragma once

#include <cstdint>

#include "protocol/opcodes.h"

namespace vxr {

// Frames of the serial VTR protocol, the same in both directions: CMD-1 (group in the high
// nibble, data count N in the low), CMD-2, N data bytes and a checksum, 3 to 18 bytes.
inline constexpr int kMaxFrameSize = 18;

inline int FrameLength(std::uint8_t cmd1) { return (cmd1 & opcodes::kCountMask) + 3; }

// The integer sum of the first count bytes; 0 when count is 0 or less.
int Checksum(const std::uint8_t* bytes, int count);

// Builds CMD-1 = (cmd1_source AND F0) OR n, CMD-2, the n data bytes and the checksum into out.
// Returns -1 when n > 15, the size needed (n + 3) without writing when out is too small,
// else 0.
int BuildReply(std::uint8_t cmd1_source, std::uint8_t cmd2, const std::uint8_t* data, int n,
               std::uint8_t* out, int out_size);

// NAK error codes: the only three the deck sends.
using opcodes::kNakChecksum;
using opcodes::kNakOutOfRange;
using opcodes::kNakUndefined;

// Writes the four-byte NAK 11 12 EE CS into out.
void MakeNak(std::uint8_t error_code, std::uint8_t out[4]);

inline constexpr std::uint8_t kAck[3] = {opcodes::kAckCmd1, opcodes::kAckCmd2,
                                         opcodes::kAckCmd1 + opcodes::kAckCmd2};
inline constexpr std::uint8_t kTimeDataNotAvailable[3] = {
    opcodes::kSenseReplyGroup, opcodes::kTimeDataNotAvailableCmd2,
    opcodes::kSenseReplyGroup + opcodes::kTimeDataNotAvailableCmd2};

// Speed factor of a jog or shuttle command from its coarse and fine data bytes; 64 is play speed.
double SpeedFromData(std::uint8_t coarse, std::uint8_t fine);

}  // namespace vxr
