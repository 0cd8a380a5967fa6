#include "testing/controller_line.h"

#include <algorithm>
#include <chrono>

#include "protocol/frame.h"
#include "protocol/timecode.h"

namespace vxr::testing {

Bytes WithChecksum(Bytes frame) {
  frame.push_back(
      static_cast<std::uint8_t>(Checksum(frame.data(), static_cast<int>(frame.size()))));
  return frame;
}

Bytes ControllerLine::Send(const Bytes& frame, int timeout_ms) {
  if (!pty_.Write(WithChecksum(frame))) return {};
  return pty_.ReadFrame(timeout_ms);
}

Bytes ControllerLine::SendTimed(const Bytes& frame, double* ms) {
  const auto start = std::chrono::steady_clock::now();
  Bytes reply = Send(frame);
  *ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return reply;
}

Bytes ControllerLine::Status(int count) {
  const Bytes reply = Send({0x61, 0x20, static_cast<std::uint8_t>(count)});
  if (reply.size() != static_cast<std::size_t>(count) + 3 || reply[0] != 0x70 + count ||
      reply[1] != 0x20) {
    return {};
  }
  return Bytes(reply.begin() + 2, reply.end() - 1);
}

bool ControllerLine::Has(const StatusBit& bit) {
  const Bytes s = Status(9);
  return s.size() == 9 && bit.In(s.data());
}

std::int64_t ControllerLine::TimeSense(std::uint32_t fps) {
  const Bytes reply = Send({0x61, 0x0C, 0x01});
  if (reply.size() != 7 || reply[0] != 0x74) return -1;
  return Timecode::FromBytes(reply.data() + 2).ToFrames(fps);
}

std::vector<Bytes> ControllerLine::SendBackToBack(const std::vector<Bytes>& frames,
                                                  int reply_timeout_ms) {
  std::vector<Bytes> replies;
  std::size_t sent = 0;
  while (replies.size() < frames.size()) {
    while (sent < frames.size() && sent - replies.size() < kBackToBackWindow) {
      if (!pty_.Write(frames[sent])) return replies;
      ++sent;
    }
    Bytes reply = pty_.ReadFrame(reply_timeout_ms);
    if (reply.empty()) break;
    replies.push_back(std::move(reply));
  }
  return replies;
}

bool ControllerLine::WaitUntilServed(int timeout_ms) {
  const bool served = WaitFor(
      [&] {
        return Send({0x61, 0x20, 0x01}, kPollReplyMs).size() == 4;
      },
      timeout_ms, 0);
  if (!served) return false;
  // A poll answered later than the controller waited still has its reply on the way: a status
  // sense of two bytes, whose reply no poll's looks like, marks the end of them all (a deck
  // answers it with or without a player).
  if (!pty_.Write(WithChecksum({0x61, 0x20, 0x02}))) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const Bytes reply = pty_.ReadFrame(static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (reply.empty()) return false;
    if (reply.size() >= 2 && reply[0] == 0x72 && reply[1] == 0x20) return true;
  }
}

}  // namespace vxr::testing
