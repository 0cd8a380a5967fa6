#pragma once

#include <cstdint>

namespace vxr {

// One bit of the 16-byte VTR status block: its byte and its mask. These names are the one
// vocabulary that the player, the deck and the panel use for the block.
struct StatusBit {
  std::uint8_t byte;
  std::uint8_t mask;

  bool In(const std::uint8_t* block) const { return (block[byte] & mask) != 0; }
  void Set(std::uint8_t* block, bool on) const {
    block[byte] = static_cast<std::uint8_t>(on ? (block[byte] | mask) : (block[byte] & ~mask));
  }
};

inline constexpr int kStatusBlockSize = 16;

// Status bytes 0 to 3 as one little-endian word.
inline std::uint32_t StatusWord(const std::uint8_t* block) {
  return static_cast<std::uint32_t>(block[0]) | (static_cast<std::uint32_t>(block[1]) << 8) |
         (static_cast<std::uint32_t>(block[2]) << 16) |
         (static_cast<std::uint32_t>(block[3]) << 24);
}

namespace status {

// Byte 0
inline constexpr StatusBit Local{0, 0x01};
inline constexpr StatusBit Hard_Error{0, 0x04};
inline constexpr StatusBit Servo_Ref_Missing{0, 0x10};
inline constexpr StatusBit Tape_OUT{0, 0x20};
// Tape_OUT and the two bits above it: while any is set no tape is in the deck.
inline constexpr std::uint8_t kTapeOutMask = 0xE0;
// Byte 1
inline constexpr StatusBit Play{1, 0x01};
inline constexpr StatusBit Rec{1, 0x02};
inline constexpr StatusBit Fast_FWD{1, 0x04};
inline constexpr StatusBit Rewind{1, 0x08};
inline constexpr StatusBit Eject{1, 0x10};
inline constexpr StatusBit Stop{1, 0x20};
inline constexpr StatusBit Tension_Release{1, 0x40};
inline constexpr StatusBit Standby{1, 0x80};
// Byte 2
inline constexpr StatusBit CueUp_Complete{2, 0x01};
inline constexpr StatusBit Still{2, 0x02};
inline constexpr StatusBit Reverse{2, 0x04};
inline constexpr StatusBit VAR{2, 0x08};
inline constexpr StatusBit Jog{2, 0x10};
inline constexpr StatusBit Shuttle{2, 0x20};
inline constexpr StatusBit TSO_Mode{2, 0x40};
inline constexpr StatusBit Servo_Lock{2, 0x80};
// Byte 3
inline constexpr StatusBit IN{3, 0x01};
inline constexpr StatusBit OUT{3, 0x02};
inline constexpr StatusBit Audio_IN{3, 0x04};
inline constexpr StatusBit Audio_OUT{3, 0x08};
inline constexpr StatusBit CF_Mode{3, 0x10};
inline constexpr StatusBit Freese_ON{3, 0x40};
inline constexpr StatusBit AUTO_Mode{3, 0x80};
// Byte 4
inline constexpr StatusBit Preroll{4, 0x01};
inline constexpr StatusBit Preview{4, 0x02};
inline constexpr StatusBit Auto_Edit{4, 0x04};
inline constexpr StatusBit Review{4, 0x08};
inline constexpr StatusBit Edit{4, 0x10};
inline constexpr StatusBit Full_EE{4, 0x40};
inline constexpr StatusBit Select_EE{4, 0x80};
// Byte 5
inline constexpr StatusBit A1{5, 0x01};
inline constexpr StatusBit A2{5, 0x02};
inline constexpr StatusBit A3{5, 0x04};
inline constexpr StatusBit A4{5, 0x08};
inline constexpr StatusBit Video{5, 0x10};
inline constexpr StatusBit Assemble{5, 0x20};
inline constexpr StatusBit Insert{5, 0x40};
// Byte 6
inline constexpr StatusBit SearchLED_1{6, 0x01};
inline constexpr StatusBit SearchLED_2{6, 0x02};
inline constexpr StatusBit SearchLED_4{6, 0x04};
inline constexpr StatusBit SearchLED_8{6, 0x08};
inline constexpr StatusBit Lamp_REV{6, 0x10};
inline constexpr StatusBit Lamp_FWD{6, 0x20};
inline constexpr StatusBit Lamp_STILL{6, 0x40};
// Byte 7
inline constexpr StatusBit IN_OUT{7, 0x01};
inline constexpr StatusBit Spot_Erase{7, 0x04};
inline constexpr StatusBit Sync_Act{7, 0x10};
inline constexpr StatusBit Audio_Split{7, 0x20};
inline constexpr StatusBit VAR_Mem_Active{7, 0x40};
inline constexpr StatusBit VAR_Mem{7, 0x80};
// Byte 8
inline constexpr StatusBit Rec_Inhibit{8, 0x01};
inline constexpr StatusBit Sys_Alarm{8, 0x02};
inline constexpr StatusBit Servo_Alarm{8, 0x04};
inline constexpr StatusBit CF_Lock{8, 0x08};
inline constexpr StatusBit End_Of_Tape{8, 0x10};
inline constexpr StatusBit Near_EOT{8, 0x20};
inline constexpr StatusBit Lost_Lock{8, 0x40};
inline constexpr StatusBit Buzzer{8, 0x80};

// The status of a deck without a player: Hard_Error and Tape_OUT.
inline constexpr std::uint8_t kNoPlayerByte0 = 0x24;

}  // namespace status
}  // namespace vxr
