#include "protocol/command_interpreter.h"

#include "protocol/frame.h"
#include "protocol/opcodes.h"

namespace vxr {
namespace {

using namespace opcodes;

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
    {kStop, TransportOp::kStop, 0, -1},
    {kPlay, TransportOp::kPlay, 0, -1},
    {kStandbyOff, TransportOp::kNone, 0, -1},
    {kStandbyOn, TransportOp::kNone, 0, -1},
    {kAntiClogTimerEnable, TransportOp::kNone, 0, -1},
    {kEject, TransportOp::kEject, 0, -1},
    {kFastFwd, TransportOp::kFastFwd, 0, -1},
    {kJogFwd, TransportOp::kJog, +1, -1},
    {kShuttleFwd, TransportOp::kShuttle, +1, -1},
    {kRewind, TransportOp::kRewind, 0, -1},
    {kJogRev, TransportOp::kJog, -1, -1},
    {kShuttleRev, TransportOp::kShuttle, -1, -1},
    {kCueUpWithData, TransportOp::kCueUp, 0, kCueUpCmd1},
    {kFullEeOff, TransportOp::kNone, 0, kTransportControl},
    {kFullEeOn, TransportOp::kNone, 0, kTransportControl},
    {kSelectEeOn, TransportOp::kNone, 0, kTransportControl},
    {kEditOff, TransportOp::kNone, 0, kTransportControl},
    {kEditOn, TransportOp::kNone, 0, kTransportControl},
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
    case kPresetValue: {
      if (value > kMaxPresetValue) return Reply(FixedReply::kNakOutOfRange);
      DecodedRequest request;
      request.kind = RequestKind::kSetPreset;
      request.reply = FixedReply::kAck;
      request.value = value;
      return request;
    }
    case kPresetAcknowledged:
      return Reply(FixedReply::kAck);
    case kTimerModeSelect: {
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
  const int n = frame[0] & kCountMask;
  if (length != n + 3) return Reply(FixedReply::kNakChecksum);
  if (frame[n + 2] != static_cast<std::uint8_t>(Checksum(frame, n + 2))) {
    return Reply(FixedReply::kNakChecksum);
  }

  const std::uint8_t cmd2 = frame[1];
  // For the preset and sense groups the value is the byte after CMD-2 whatever N says, so with
  // N = 0 it is the checksum byte; the frame is at least three bytes long, so it is always there.
  const std::uint8_t value = frame[2];

  switch (frame[0] & kGroupMask) {
    case kSystemControl: {
      if (cmd2 != kDeviceTypeRequest) return Reply(FixedReply::kNakUndefined);
      DecodedRequest request;
      request.kind = RequestKind::kDeviceType;
      return request;
    }
    case kTransportControl:
      return DecodeTransport(frame, n);
    case kPresetSelect:
      return DecodePreset(cmd2, value);
    case kSenseRequest: {
      DecodedRequest request;
      request.value = value;
      if (cmd2 == kCurrentTimeSense) {
        request.kind = RequestKind::kTimeSense;
      } else if (cmd2 == kStatusSense) {
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
