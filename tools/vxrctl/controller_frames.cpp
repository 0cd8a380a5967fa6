#include "tools/vxrctl/controller_frames.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "protocol/frame.h"
#include "protocol/opcodes.h"
#include "protocol/status_bits.h"
#include "protocol/timecode.h"

namespace vxr::vxrctl {
namespace {

using namespace opcodes;

struct NamedBit {
  const char* name;
  StatusBit bit;
};

#define VXR_BIT(name) \
  { #name, status::name }
constexpr NamedBit kStatusBits[] = {
    VXR_BIT(Local),
    VXR_BIT(Hard_Error),
    VXR_BIT(Servo_Ref_Missing),
    VXR_BIT(Tape_OUT),
    VXR_BIT(Play),
    VXR_BIT(Rec),
    VXR_BIT(Fast_FWD),
    VXR_BIT(Rewind),
    VXR_BIT(Eject),
    VXR_BIT(Stop),
    VXR_BIT(Tension_Release),
    VXR_BIT(Standby),
    VXR_BIT(CueUp_Complete),
    VXR_BIT(Still),
    VXR_BIT(Reverse),
    VXR_BIT(VAR),
    VXR_BIT(Jog),
    VXR_BIT(Shuttle),
    VXR_BIT(TSO_Mode),
    VXR_BIT(Servo_Lock),
    VXR_BIT(IN),
    VXR_BIT(OUT),
    VXR_BIT(Audio_IN),
    VXR_BIT(Audio_OUT),
    VXR_BIT(CF_Mode),
    VXR_BIT(Freese_ON),
    VXR_BIT(AUTO_Mode),
    VXR_BIT(Preroll),
    VXR_BIT(Preview),
    VXR_BIT(Auto_Edit),
    VXR_BIT(Review),
    VXR_BIT(Edit),
    VXR_BIT(Full_EE),
    VXR_BIT(Select_EE),
    VXR_BIT(A1),
    VXR_BIT(A2),
    VXR_BIT(A3),
    VXR_BIT(A4),
    VXR_BIT(Video),
    VXR_BIT(Assemble),
    VXR_BIT(Insert),
    VXR_BIT(SearchLED_1),
    VXR_BIT(SearchLED_2),
    VXR_BIT(SearchLED_4),
    VXR_BIT(SearchLED_8),
    VXR_BIT(Lamp_REV),
    VXR_BIT(Lamp_FWD),
    VXR_BIT(Lamp_STILL),
    VXR_BIT(IN_OUT),
    VXR_BIT(Spot_Erase),
    VXR_BIT(Sync_Act),
    VXR_BIT(Audio_Split),
    VXR_BIT(VAR_Mem_Active),
    VXR_BIT(VAR_Mem),
    VXR_BIT(Rec_Inhibit),
    VXR_BIT(Sys_Alarm),
    VXR_BIT(Servo_Alarm),
    VXR_BIT(CF_Lock),
    VXR_BIT(End_Of_Tape),
    VXR_BIT(Near_EOT),
    VXR_BIT(Lost_Lock),
    VXR_BIT(Buzzer),
};
#undef VXR_BIT

// Commands without arguments: CMD-1 and CMD-2.
const std::map<std::string, Bytes>& SimpleCommands() {
  static const std::map<std::string, Bytes> commands = {
      {"devtype", {kSystemControl, kDeviceTypeRequest}},
      {"stop", {kTransportControl, kStop}},
      {"play", {kTransportControl, kPlay}},
      {"ff", {kTransportControl, kFastFwd}},
      {"rew", {kTransportControl, kRewind}},
      {"eject", {kTransportControl, kEject}},
  };
  return commands;
}

// A whole number in [low, high], decimal or with a 0x prefix. A leading zero is just a zero
// ("010" is ten, "08" is eight), and signs are refused.
bool ParseNumber(const std::string& text, long low, long high, long* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty()) return false;
  for (char c : digits) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (hex ? !std::isxdigit(u) : !std::isdigit(u)) return false;
  }
  errno = 0;
  const long n = std::strtol(digits.c_str(), nullptr, hex ? 16 : 10);
  if (errno == ERANGE || n < low || n > high) return false;
  *value = n;
  return true;
}

bool ParseHexByte(const std::string& text, std::uint8_t* value) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
  }
  if (digits.empty() || digits.size() > 2) return false;
  char* end = nullptr;
  const long n = std::strtol(digits.c_str(), &end, 16);
  if (end == nullptr || *end != '\0' || n < 0) return false;
  *value = static_cast<std::uint8_t>(n);
  return true;
}

void AppendChecksum(Bytes& frame) {
  frame.push_back(
      static_cast<std::uint8_t>(Checksum(frame.data(), static_cast<int>(frame.size()))));
}

// CMD-1 with the data count of what follows CMD-2.
Bytes Frame(std::uint8_t group, std::uint8_t cmd2, const Bytes& data) {
  Bytes frame;
  frame.reserve(data.size() + 3);
  frame.push_back(static_cast<std::uint8_t>(group | data.size()));
  frame.push_back(cmd2);
  for (std::uint8_t byte : data) frame.push_back(byte);
  AppendChecksum(frame);
  return frame;
}

bool Fail(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

bool BuildSpeedCommand(const std::vector<std::string>& words, Request* request,
                       std::string* error) {
  const bool jog = words[0] == "jog";
  if (words.size() != 2) return Fail(error, words[0] + " needs one speed, for example +1 or -0.5");
  char* end = nullptr;
  const double speed = std::strtod(words[1].c_str(), &end);
  if (end == nullptr || *end != '\0' || !std::isfinite(speed) || std::fabs(speed) > 100.0) {
    return Fail(error, "speed must be a factor of play speed from -100 to +100");
  }
  const bool reverse = std::signbit(speed) && speed != 0.0;
  std::uint8_t coarse = 0;
  std::uint8_t fine = 0;
  SpeedToData(std::fabs(speed), &coarse, &fine);
  const std::uint8_t cmd2 =
      static_cast<std::uint8_t>((jog ? kJogFwd : kShuttleFwd) + (reverse ? kReverseOffset : 0));
  request->frame = fine == 0 ? Frame(kTransportControl, cmd2, {coarse})
                             : Frame(kTransportControl, cmd2, {coarse, fine});
  return true;
}

bool BuildCue(const std::vector<std::string>& words, Request* request, std::string* error) {
  unsigned h = 0, m = 0, s = 0, f = 0;
  char tail = 0;
  if (words.size() != 2 ||
      std::sscanf(words[1].c_str(), "%2u:%2u:%2u:%2u%c", &h, &m, &s, &f, &tail) != 4 || h > 39 ||
      m > 59 || s > 59 || f > 29) {
    return Fail(error, "cue needs a timecode HH:MM:SS:FF (hours to 39, frames to 29)");
  }
  auto bcd = [](unsigned n) { return static_cast<std::uint8_t>(((n / 10) << 4) | (n % 10)); };
  request->frame = Frame(kTransportControl, kCueUpWithData, {bcd(f), bcd(s), bcd(m), bcd(h)});
  return true;
}

bool BuildRaw(const std::vector<std::string>& words, Request* request, std::string* error) {
  Bytes frame;
  for (std::size_t i = 1; i < words.size(); ++i) {
    std::uint8_t byte = 0;
    if (!ParseHexByte(words[i], &byte))
      return Fail(error, "raw bytes are hexadecimal: " + words[i]);
    frame.push_back(byte);
  }
  if (frame.size() < 2 || frame.size() > static_cast<std::size_t>(kMaxFrameSize)) {
    return Fail(error, "raw needs 2 to 18 bytes");
  }
  // Without its checksum the frame gets one; a whole frame goes out as written, bad checksum
  // and all, so a deck's refusals can be tried.
  if (frame.size() + 1 == static_cast<std::size_t>(FrameLength(frame[0]))) AppendChecksum(frame);
  request->frame = frame;
  return true;
}

std::string NakReasons(std::uint8_t bits) {
  static constexpr struct {
    std::uint8_t mask;
    const char* text;
  } kReasons[] = {{kNakUndefined, "unknown command"}, {kNakChecksum, "checksum error"},
                  {kNakParity, "parity error"},       {kNakOverrun, "buffer overrun"},
                  {kNakFraming, "framing error"},     {kNakTimeOut, "time-out"}};
  std::string text;
  for (const auto& reason : kReasons) {
    if ((bits & reason.mask) == 0) continue;
    if (!text.empty()) text += ", ";
    text += reason.text;
  }
  return text.empty() ? "value out of range" : text;
}

}  // namespace

std::string Hex(const Bytes& bytes) {
  std::string text;
  char digits[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(digits, sizeof digits, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += digits;
  }
  return text;
}

void SpeedToData(double speed, std::uint8_t* coarse, std::uint8_t* fine) {
  // Coarse c stands for 10^(c/32 - 2) times play speed; fine adds up to one coarse step in
  // 256ths. Below coarse 1 the fine byte alone counts in steps of 10^(1/32)/256.
  const double step = std::pow(10.0, 0.03125);
  *coarse = 0;
  *fine = 0;
  if (!(speed > 0.0)) return;
  const double c = std::floor(32.0 * (std::log10(speed) + 2.0) + 1e-9);
  if (c < 1.0) {
    *fine = static_cast<std::uint8_t>(std::lround(std::fmin(speed / (step / 256.0), 255.0)));
    return;
  }
  const double clamped = std::fmin(c, 255.0);
  const double base = std::pow(10.0, clamped / 32.0 - 2.0);
  const double f = std::lround((speed / base - 1.0) / ((step - 1.0) / 256.0));
  *coarse = static_cast<std::uint8_t>(clamped);
  *fine = static_cast<std::uint8_t>(std::fmax(0.0, std::fmin(f, 255.0)));
}

bool BuildRequest(const std::vector<std::string>& words, Request* request, std::string* error) {
  if (words.empty()) return Fail(error, "no command given");
  const std::string& name = words[0];
  *request = Request{};

  const auto simple = SimpleCommands().find(name);
  if (simple != SimpleCommands().end()) {
    if (words.size() != 1) return Fail(error, name + " takes no arguments");
    request->frame = Frame(simple->second[0], simple->second[1], {});
    return true;
  }
  if (name == "jog" || name == "shuttle") return BuildSpeedCommand(words, request, error);
  if (name == "cue") return BuildCue(words, request, error);
  if (name == "raw") return BuildRaw(words, request, error);
  if (name == "status") {
    long start = 0, count = 9;
    if (words.size() == 3) {
      if (!ParseNumber(words[1], 0, 15, &start) || !ParseNumber(words[2], 0, 15, &count)) {
        return Fail(error, "status START COUNT: both from 0 to 15");
      }
    } else if (words.size() != 1) {
      return Fail(error, "status takes no arguments or START COUNT");
    }
    request->status_start = static_cast<int>(start);
    request->frame =
        Frame(kSenseRequest, kStatusSense, {static_cast<std::uint8_t>((start << 4) | count)});
    return true;
  }
  if (name == "time") {
    std::uint8_t selector = 0x01;
    if (words.size() == 2) {
      if (!ParseHexByte(words[1], &selector)) return Fail(error, "time SELECTOR is one hex byte");
    } else if (words.size() != 1) {
      return Fail(error, "time takes no arguments or one SELECTOR");
    }
    request->frame = Frame(kSenseRequest, kCurrentTimeSense, {selector});
    return true;
  }
  if (name == "preset" || name == "timer-mode") {
    long value = 0;
    if (words.size() != 2 || !ParseNumber(words[1], 0, 255, &value)) {
      return Fail(error, name + " needs one value from 0 to 255");
    }
    request->frame = Frame(kPresetSelect, name == "preset" ? kPresetValue : kTimerModeSelect,
                           {static_cast<std::uint8_t>(value)});
    return true;
  }
  return Fail(error, "unknown command: " + name);
}

std::string StatusBitNames(const Bytes& bytes, int start) {
  std::uint8_t block[kStatusBlockSize] = {};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::size_t at = static_cast<std::size_t>(start) + i;
    if (at < kStatusBlockSize) block[at] = bytes[i];
  }
  std::string text;
  for (const NamedBit& named : kStatusBits) {
    if (named.bit.byte < start || named.bit.byte >= start + static_cast<int>(bytes.size()))
      continue;
    if (!named.bit.In(block)) continue;
    if (!text.empty()) text += ' ';
    text += named.name;
  }
  return text;
}

ReplyText DescribeReply(const Request& request, const Bytes& reply) {
  ReplyText result;
  if (reply.empty()) {
    result.text = "no reply";
    return result;
  }
  const std::size_t length = static_cast<std::size_t>(FrameLength(reply[0]));
  if (reply.size() != length) {
    result.text = "incomplete reply: " + Hex(reply);
    return result;
  }
  if (reply.back() !=
      static_cast<std::uint8_t>(Checksum(reply.data(), static_cast<int>(length) - 1))) {
    result.text = "reply with a bad checksum: " + Hex(reply);
    return result;
  }
  const std::uint8_t cmd1 = reply[0];
  const std::uint8_t cmd2 = reply[1];
  const Bytes data(reply.begin() + 2, reply.end() - 1);
  char text[96];
  result.kind = ReplyKind::kData;

  if (cmd1 == kAckCmd1 && cmd2 == kAckCmd2) {
    result.kind = ReplyKind::kAck;
    result.text = "ACK";
  } else if (cmd1 == kNakCmd1 && cmd2 == kNakCmd2) {
    result.kind = ReplyKind::kNak;
    std::snprintf(text, sizeof text, "NAK %02X: ", data[0]);
    result.text = text + NakReasons(data[0]);
  } else if (cmd1 == kDeviceTypeCmd1 && cmd2 == kDeviceTypeCmd2) {
    std::snprintf(text, sizeof text, "device type %02X %02X", data[0], data[1]);
    result.text = text;
  } else if ((cmd1 & kGroupMask) == kSenseReplyGroup && cmd2 == kStatusData) {
    const int start = request.status_start;
    std::snprintf(text, sizeof text, "status from byte %d: ", start);
    const std::string names = StatusBitNames(data, start);
    result.text = text + (data.empty() ? std::string("(no bytes)") : Hex(data)) +
                  (names.empty() ? "" : "  " + names);
  } else if (cmd1 == kSenseReplyGroup && cmd2 == kTimeDataNotAvailableCmd2) {
    result.text = "time data not available";
  } else if (cmd1 == kTimeDataCmd1 &&
             ((cmd2 & kTimeKindMask) == kLtcTime || (cmd2 & kTimeKindMask) == kTimerTime)) {
    const Timecode timecode = Timecode::FromBytes(data.data());
    std::snprintf(text, sizeof text, "%s %02d:%02d:%02d:%02d %s",
                  (cmd2 & kTimeKindMask) == kLtcTime ? "LTC" : "timer", timecode.Hours(),
                  timecode.Minutes(), timecode.Seconds(), timecode.Frames(),
                  (cmd2 & kTimeUnlocked) != 0 ? "unlocked" : "locked");
    result.text = text;
  } else if (cmd1 == kTimeDataCmd1 && (cmd2 & kTimeKindMask) == kUserBits) {
    result.text =
        "user bits " + Hex(data) + ((cmd2 & kTimeUnlocked) != 0 ? " unlocked" : " locked");
  } else {
    result.text = "reply " + Hex(reply);
  }
  return result;
}

}  // namespace vxr::vxrctl
