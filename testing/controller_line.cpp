#include "testing/controller_line.h"

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

bool ControllerLine::WaitUntilServed(int timeout_ms) {
  const bool served = WaitFor(
      [&] {
        return Send({0x61, 0x20, 0x01}, 200).size() == 4;
      },
      timeout_ms, 0);
  pty_.Drain(30);
  return served;
}

}  // namespace vxr::testing
