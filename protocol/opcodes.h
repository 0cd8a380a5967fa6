#pragma once

#include <cstdint>

// The bytes of the serial VTR protocol that the deck answers and an edit controller sends: the
// command groups of CMD-1, the commands of CMD-2 within each group, and the replies. One list for
// the deck's interpreter and for the vxrctl controller.
namespace vxr::opcodes {

// CMD-1: the group in the high nibble, the data count in the low nibble.
inline constexpr std::uint8_t kGroupMask = 0xF0;
inline constexpr std::uint8_t kCountMask = 0x0F;

// Command groups (CMD-1 with a count of 0).
inline constexpr std::uint8_t kSystemControl = 0x00;
inline constexpr std::uint8_t kTransportControl = 0x20;
inline constexpr std::uint8_t kPresetSelect = 0x40;
inline constexpr std::uint8_t kSenseRequest = 0x60;

// System control (0X).
inline constexpr std::uint8_t kDeviceTypeRequest = 0x11;

// Transport control (2X).
inline constexpr std::uint8_t kStop = 0x00;
inline constexpr std::uint8_t kPlay = 0x01;
inline constexpr std::uint8_t kStandbyOff = 0x04;
inline constexpr std::uint8_t kStandbyOn = 0x05;
inline constexpr std::uint8_t kEject = 0x0F;
inline constexpr std::uint8_t kFastFwd = 0x10;
inline constexpr std::uint8_t kJogFwd = 0x11;
inline constexpr std::uint8_t kShuttleFwd = 0x13;
inline constexpr std::uint8_t kRewind = 0x20;
inline constexpr std::uint8_t kJogRev = 0x21;
inline constexpr std::uint8_t kShuttleRev = 0x23;
// The reverse form of a forward jog or shuttle command.
inline constexpr std::uint8_t kReverseOffset = kJogRev - kJogFwd;
inline constexpr std::uint8_t kCueUpWithData = 0x31;  // with CMD-1 kCueUpCmd1 only
inline constexpr std::uint8_t kCueUpCmd1 = 0x24;      // four timecode bytes follow
inline constexpr std::uint8_t kAntiClogTimerEnable = 0x55;
// Picture routing and edit commands: acknowledged with CMD-1 kTransportControl only.
inline constexpr std::uint8_t kFullEeOff = 0x60;
inline constexpr std::uint8_t kFullEeOn = 0x61;
inline constexpr std::uint8_t kSelectEeOn = 0x63;
inline constexpr std::uint8_t kEditOff = 0x64;
inline constexpr std::uint8_t kEditOn = 0x65;

// Preset select (4X).
inline constexpr std::uint8_t kPresetValue = 0x31;  // one value byte, 0 to kMaxPresetValue
inline constexpr std::uint8_t kMaxPresetValue = 0x3B;
inline constexpr std::uint8_t kPresetAcknowledged = 0x34;
inline constexpr std::uint8_t kTimerModeSelect = 0x36;  // one value byte, 0 or 1

// Sense request (6X).
inline constexpr std::uint8_t kCurrentTimeSense = 0x0C;  // one byte: the time data selector
inline constexpr std::uint8_t kStatusSense = 0x20;       // one byte: start << 4 | count

// Replies: CMD-1 and CMD-2.
inline constexpr std::uint8_t kAckCmd1 = 0x10;
inline constexpr std::uint8_t kAckCmd2 = 0x01;
inline constexpr std::uint8_t kNakCmd1 = 0x11;
inline constexpr std::uint8_t kNakCmd2 = 0x12;
inline constexpr std::uint8_t kDeviceTypeCmd1 = 0x12;
inline constexpr std::uint8_t kDeviceTypeCmd2 = 0x11;
inline constexpr std::uint8_t kSenseReplyGroup = 0x70;  // status data: the count in the low nibble
inline constexpr std::uint8_t kStatusData = 0x20;
inline constexpr std::uint8_t kTimeDataCmd1 = 0x74;
inline constexpr std::uint8_t kTimeDataNotAvailableCmd2 = 0x0D;  // with CMD-1 kSenseReplyGroup
// Time data replies: the kind in the low nibble of CMD-2, kTimeUnlocked set when not locked.
inline constexpr std::uint8_t kTimeKindMask = 0x0F;
inline constexpr std::uint8_t kTimerTime = 0x00;
inline constexpr std::uint8_t kLtcTime = 0x04;
inline constexpr std::uint8_t kUserBits = 0x05;
inline constexpr std::uint8_t kTimeUnlocked = 0x10;

// NAK error bits. The deck sends only kNakUndefined, kNakChecksum and, for a value out of range,
// no bit at all; a controller may meet the others from other decks.
inline constexpr std::uint8_t kNakUndefined = 0x01;
inline constexpr std::uint8_t kNakChecksum = 0x04;
inline constexpr std::uint8_t kNakParity = 0x10;
inline constexpr std::uint8_t kNakOverrun = 0x20;
inline constexpr std::uint8_t kNakFraming = 0x40;
inline constexpr std::uint8_t kNakTimeOut = 0x80;
inline constexpr std::uint8_t kNakOutOfRange = 0x00;

}  // namespace vxr::opcodes
