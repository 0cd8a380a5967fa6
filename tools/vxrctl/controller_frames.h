#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vxr::vxrctl {

using Bytes = std::vector<std::uint8_t>;

// A named command turned into the frame an edit controller sends.
struct Request {
  Bytes frame;
  // For status sense: the first status byte asked for, so the reply's bytes can be named.
  int status_start = 0;
};

// Builds the frame for one command and its arguments ("play", "jog -0.5", "cue 00:01:00:00",
// "status 0 9", "raw 20 01 21", ...). False with a message in error when the words are not a
// command this tool knows or an argument is out of range.
bool BuildRequest(const std::vector<std::string>& words, Request* request, std::string* error);

// The coarse and fine data bytes for a jog or shuttle speed (a factor of play speed, its
// magnitude only). fine is 0 when one data byte says it all.
void SpeedToData(double speed, std::uint8_t* coarse, std::uint8_t* fine);

// How a reply reads.
enum class ReplyKind { kAck, kNak, kData, kMalformed };

struct ReplyText {
  ReplyKind kind = ReplyKind::kMalformed;
  std::string text;
};

// Decodes a reply to request: ACK, NAK with its reasons, device type, status bits by name,
// timecode with its lock state, user bits, "time data not available".
ReplyText DescribeReply(const Request& request, const Bytes& reply);

// The names of the status bits set in bytes, which start at status byte start.
std::string StatusBitNames(const Bytes& bytes, int start);

std::string Hex(const Bytes& bytes);

}  // namespace vxr::vxrctl
