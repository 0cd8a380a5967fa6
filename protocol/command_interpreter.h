#pragma once

#include <cstdint>

#include "protocol/timecode.h"

namespace vxr {

// What a received frame asks of the deck, decided from the frame alone: no player, no I/O,
// no allocation. The deck carries the request out and builds the reply.
enum class RequestKind : std::uint8_t {
  kReply,         // answer with `reply` and do nothing else
  kTransport,     // needs a player with a tape; then `op` (maybe none) and ACK, else NAK 01
  kSetPreset,     // preset value := value, ACK
  kSetTimerMode,  // timer mode := value, ACK
  kDeviceType,    // device type reply; NAK 01 without a player
  kStatusSense,   // status sense with `value` (start in the high nibble, count in the low)
  kTimeSense,     // current time sense with `value` as the time data selector
};

enum class FixedReply : std::uint8_t { kAck, kNakUndefined, kNakChecksum, kNakOutOfRange };

enum class TransportOp : std::uint8_t {
  kNone,  // accepted and acknowledged, nothing to do
  kStop,
  kPlay,
  kEject,
  kFastFwd,
  kRewind,
  kJog,      // with `speed`, already negated for reverse
  kShuttle,  // with `speed`, already negated for reverse
  kCueUp,    // with `timecode`
};

struct DecodedRequest {
  RequestKind kind = RequestKind::kReply;
  FixedReply reply = FixedReply::kNakUndefined;
  TransportOp op = TransportOp::kNone;
  double speed = 0.0;
  Timecode timecode;
  std::uint8_t value = 0;
};

// Decodes one received frame of `length` bytes. Reads at most `length` bytes of `frame`.
DecodedRequest DecodeFrame(const std::uint8_t* frame, int length);

}  // namespace vxr
