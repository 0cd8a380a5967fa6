#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "protocol/frame.h"

namespace vxr {

// Cuts the bytes received from the edit controller into frames by the count in each first
// byte. It keeps no clock: the receiver hands it each byte with the time it was read, and tells
// it when a wait for the next byte has ended empty. The rules:
//
// - The first byte of a head is waited for without limit.
// - Inside the head and inside the data, more than 10 ms of quiet drops the frame under way.
// - After a complete head, its data may take up to 100 ms to begin; a longer quiet drops the
//   head, so that a stray byte taken for a head never swallows the controller's next frame.
// - A dropped frame's bytes are lost; the next byte starts a new head.
//
// Quiet is judged only by the receiver's waits, never by the gap between two time stamps: a
// receiver that comes late to bytes already waiting in the driver takes them as part of the
// frame, as a controller sent them. A byte's time only starts the wait for the next one.
class CFramer {
 public:
  using Time = std::chrono::steady_clock::time_point;

  static constexpr std::chrono::milliseconds kInterByteLimit{10};
  static constexpr std::chrono::milliseconds kDataWaitLimit{100};
  static constexpr int kHeadSize = 3;

  enum class State {
    kIdle,          // no frame under way; the next byte begins a head
    kHead,          // one or two bytes of a head
    kAwaitingData,  // a complete head whose data has not begun
    kData,          // a head and part of its data
  };

  CFramer() = default;

  // Takes one byte read at time arrival. True when it completes a frame: Frame() and
  // FrameSize() then hold it until the next Feed or Reset, and the framer is idle again.
  bool Feed(std::uint8_t byte, Time arrival);
  // A wait for the next byte found the line quiet until now: drops the frame under way when
  // its deadline has passed. True when a frame was dropped.
  bool Quiet(Time now);
  // Drops the frame under way (a read failed); the next byte starts a new head.
  void Reset();

  State state() const { return state_; }
  // When the frame under way is dropped if no byte comes; none while idle.
  std::optional<Time> Deadline() const;
  // Bytes still missing from the frame under way: a receiver that reads no more than this
  // never takes a byte of the next frame early.
  int Wanted() const;

  const std::uint8_t* Frame() const { return frame_; }
  int FrameSize() const { return complete_ ? length_ : 0; }
  // The arrival time of the completed frame's last byte.
  Time LastByteTime() const { return last_; }
  // Frames dropped unfinished since construction.
  long DroppedFrames() const { return dropped_; }

 private:
  void Drop();

  State state_ = State::kIdle;
  std::uint8_t frame_[kMaxFrameSize] = {};
  int length_ = 0;         // bytes held
  int expected_ = 0;       // the whole frame's length, once the head's first byte is in
  bool complete_ = false;  // frame_ holds a complete frame
  Time last_{};            // arrival of the last byte taken
  long dropped_ = 0;
};

}  // namespace vxr
