#pragma once

#include <cstdint>

#include "protocol/timecode.h"

namespace vxr {

// The tape deck as the rest of the system sees the player: the command interpreter, the sense
// replies and the front panel drive and query it only through this interface. Transport
// operations queue a command for the player thread and return at once; queries answer at once.
// The order of the operations is fixed.
class CTransport {
 public:
  virtual ~CTransport() = default;

  // Status byte 0 bits 5 to 7 as 0-7; nonzero while no tape is loaded.
  virtual int TapeOutState() = 0;
  // 0 while the timeline plays, else 1.
  virtual int IsNotPlaying() = 0;
  // Always 0.
  virtual int ReservedQuery() = 0;
  // 1 when the current frame is the tape's last.
  virtual int IsAtEnd() = 0;
  // Copies status bytes start .. start + count - 1 and returns 1, or returns 0 and copies nothing
  // when the range leaves bytes 0 to 15 (unsigned arithmetic: count 0 fails).
  virtual int ReadStatus(std::uint8_t* destination, unsigned start, unsigned count) = 0;
  // Either output may be null. Returns 0.
  virtual int GetCurrentTime(Timecode* timecode, std::uint8_t* user_bits) = 0;
  virtual int GetDeviceType(std::uint8_t* first, std::uint8_t* second) = 0;
  virtual int CueUp(Timecode timecode) = 0;
  virtual int Eject() = 0;
  virtual int Stop() = 0;
  virtual int FastFwd() = 0;
  virtual int Rewind() = 0;
  virtual int Play() = 0;
  virtual int VariableSpeedF(float speed) = 0;
  virtual int VariableSpeed(double speed) = 0;
  virtual int Jog(double speed) = 0;
  virtual int Shuttle(double speed) = 0;
};

}  // namespace vxr
