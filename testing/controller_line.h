#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "protocol/status_bits.h"
#include "testing/pty_pair.h"
#include "testing/wait_for.h"

namespace vxr::testing {

using Bytes = std::vector<std::uint8_t>;

// A frame with its checksum appended.
Bytes WithChecksum(Bytes frame);

// The edit controller's end of a pseudo-terminal line to a deck: frames out, replies in.
class ControllerLine {
 public:
  explicit ControllerLine(PtyPair& pty) : pty_(pty) {}

  // Sends the frame with its checksum appended and returns the reply (empty when none came).
  Bytes Send(const Bytes& frame, int timeout_ms = 2000);
  // The same, and how long the reply took in milliseconds.
  Bytes SendTimed(const Bytes& frame, double* ms);
  // Status bytes 0 .. count - 1 from a status sense; empty on a wrong or missing reply.
  Bytes Status(int count = 9);
  // One bit of status bytes 0 to 8.
  bool Has(const StatusBit& bit);
  // The position from the current time sense (LTC) in frames at fps; -1 on a wrong reply.
  std::int64_t TimeSense(std::uint32_t fps = 25);
  // Polls until the deck answers, as a controller does when it connects: what is sent before
  // the deck serves the line is purged unanswered. Then reads every reply still on its way, so
  // that the next Send gets its own reply however late the deck answered the polls.
  bool WaitUntilServed(int timeout_ms);
  // How long one poll waits for its reply before the next one goes.
  static constexpr int kPollReplyMs = 200;

  // Sends whole frames (checksums included) back to back while it reads the replies, with at
  // most kBackToBackWindow frames unanswered: each frame then goes to the driver in one write,
  // so however late this thread runs no pause ever splits a frame (a pause longer than the
  // inter-byte time-out would, and the deck would rightly drop it). The replies in order; fewer
  // than the frames when one did not come within reply_timeout_ms.
  std::vector<Bytes> SendBackToBack(const std::vector<Bytes>& frames, int reply_timeout_ms);
  static constexpr std::size_t kBackToBackWindow = 32;

 private:
  PtyPair& pty_;
};

}  // namespace vxr::testing
