#include "protocol/command_interpreter.h"

#include "protocol/frame.h"

namespace vxr {
namespace {

DecodedRequest Reply(FixedReply reply) {
  DecodedRequest request;
  request.kind = RequestKind::kReply;
  request.reply = reply;
  return request;
}

DecodedRequest Transport(TransportOp op) {
  DecodedRequest request;
  request.kind = RequestKind::kTransport;
  request.reply = FixedReply::kAck;
  request.op = op;
  return request;
}

// The transport group, 2X, by CMD-2.
struct TransportEntry {
  std::uint8_t cmd2;
  TransportOp op;
  int speed_sign;          // +1/-1 for jog and shuttle, 0 for commands without a speed
  std::int16_t only_cmd1;  // the one CMD-1 the command is valid with, or -1 for any 2X
};

constexpr TransportEntry kTransportTable[] = {
    {0x00, TransportOp::kStop, 0, -1},     {0x01, TransportOp::kPlay, 0, -1},
    {0x04, TransportOp::kNone, 0, -1},     {0x05, TransportOp::kNone, 0, -1},
    {0x55, TransportOp::kNone, 0, -1},     {0x0F, TransportOp::kEject, 0, -1},
    {0x10, TransportOp::kFastFwd, 0, -1},  {0x11, TransportOp::kJog, +1, -1},
    {0x13, TransportOp::kShuttle, +1, -1}, {0x20, TransportOp::kRewind, 0, -1},
    {0x21, TransportOp::kJog, -1, -1},     {0x23, TransportOp::kShuttle, -1, -1},
    {0x31, TransportOp::kCueUp, 0, 0x24},  {0x60, TransportOp::kNone, 0, 0x20},
    {0x61, TransportOp::kNone, 0, 0x20},   {0x63, TransportOp::kNone, 0, 0x20},
    {0x64, TransportOp::kNone, 0, 0x20},   {0x65, TransportOp::kNone, 0, 0x20},
};

DecodedRequest DecodeTransport(const std::uint8_t* frame, int n) {
  const std::uint8_t cmd1 = frame[0];
  const std::uint8_t cmd2 = frame[1];
  for (const TransportEntry& entry : kTransportTable) {
    if (entry.cmd2 != cmd2) continue;
    if (entry.only_cmd1 >= 0 && entry.only_cmd1 != cmd1) break;
    DecodedRequest request = Transport(entry.op);
    if (entry.speed_sign != 0) {
      // A speed byte that the frame does not carry counts as 0.
      const std::uint8_t coarse = n >= 1 ? frame[2] : 0;
      const std::uint8_t fine = n >= 2 ? frame[3] : 0;
      request.speed = entry.speed_sign * SpeedFromData(coarse, fine);
    }
    if (entry.op == TransportOp::kCueUp) request.timecode = Timecode::FromBytes(frame + 2);
    return request;
  }
  // Undefined, or defined only with another CMD-1 (20 30 included): refused.
  DecodedRequest request = Reply(FixedReply::kNakUndefined);
  return request;
}

DecodedRequest DecodePreset(std::uint8_t cmd2, std::uint8_t value) {
  switch (cmd2) {
    case 0x31: {
      if (value > 0x3B) return Reply(FixedReply::kNakOutOfRange);
      DecodedRequest request;
      request.kind = RequestKind::kSetPreset;
      request.reply = FixedReply::kAck;
      request.value = value;
      return request;
    }
    case 0x34:
      return Reply(FixedReply::kAck);
    case 0x36: {
      if (value > 1) return Reply(FixedReply::kNakOutOfRange);
      DecodedRequest request;
      request.kind = RequestKind::kSetTimerMode;
      request.reply = FixedReply::kAck;
      request.value = value;
      return request;
    }
    default:
      return Reply(FixedReply::kNakUndefined);
  }
}

}  // namespace

DecodedRequest DecodeFrame(const std::uint8_t* frame, int length) {
  if (frame == nullptr || length < 3) return Reply(FixedReply::kNakChecksum);
  const int n = frame[0] & 0x0F;
  if (length != n + 3) return Reply(FixedReply::kNakChecksum);
  if (frame[n + 2] != static_cast<std::uint8_t>(Checksum(frame, n + 2))) {
    return Reply(FixedReply::kNakChecksum);
  }

  const std::uint8_t cmd2 = frame[1];
  // For the preset and sense groups the value is the byte after CMD-2 whatever N says, so with
  // N = 0 it is the checksum byte; the frame is at least three bytes long, so it is always there.
  const std::uint8_t value = frame[2];

  switch (frame[0] & 0xF0) {
    case 0x00: {
      if (cmd2 != 0x11) return Reply(FixedReply::kNakUndefined);
      DecodedRequest request;
      request.kind = RequestKind::kDeviceType;
      return request;
    }
    case 0x20:
      return DecodeTransport(frame, n);
    case 0x40:
      return DecodePreset(cmd2, value);
    case 0x60: {
      DecodedRequest request;
      request.value = value;
      if (cmd2 == 0x0C) {
        request.kind = RequestKind::kTimeSense;
      } else if (cmd2 == 0x20) {
        request.kind = RequestKind::kStatusSense;
      } else {
        return Reply(FixedReply::kNakUndefined);
      }
      return request;
    }
    default:
      return Reply(FixedReply::kNakUndefined);
  }
}

}  // namespace vxr
