#include "netctl/control_text.h"

#include <cctype>
#include <charconv>
#include <cstdio>

#include "netctl/deck_control.h"

namespace vxr {
namespace {

constexpr int kSecondsPerMinute = 60;
constexpr int kMinutesPerHour = 60;
constexpr int kMaxHours = 23;
constexpr std::string_view kLineEnd = "\r\n";

std::optional<int> TwoDigits(std::string_view text) {
  if (text.size() != 2 || !std::isdigit(static_cast<unsigned char>(text[0])) ||
      !std::isdigit(static_cast<unsigned char>(text[1]))) {
    return std::nullopt;
  }
  return (text[0] - '0') * 10 + (text[1] - '0');
}

}  // namespace

std::string FormatTimecode(std::uint32_t frame, int rate) {
  const std::uint32_t fps = rate > 0 ? static_cast<std::uint32_t>(rate) : 25u;
  const std::uint32_t seconds = frame / fps;
  char text[32];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u:%02u",
                static_cast<unsigned>(seconds / (kSecondsPerMinute * kMinutesPerHour)),
                static_cast<unsigned>(seconds / kSecondsPerMinute % kMinutesPerHour),
                static_cast<unsigned>(seconds % kSecondsPerMinute),
                static_cast<unsigned>(frame % fps));
  return text;
}

std::optional<std::uint32_t> ParseTimecode(std::string_view text, int rate) {
  // HH:MM:SS:FF is eleven characters with separators at 2, 5 and 8.
  constexpr std::size_t kLength = 11;
  if (text.size() != kLength || text[2] != ':' || text[5] != ':' ||
      (text[8] != ':' && text[8] != ';') || rate <= 0) {
    return std::nullopt;
  }
  const auto hours = TwoDigits(text.substr(0, 2));
  const auto minutes = TwoDigits(text.substr(3, 2));
  const auto seconds = TwoDigits(text.substr(6, 2));
  const auto frames = TwoDigits(text.substr(9, 2));
  if (!hours || !minutes || !seconds || !frames || *hours > kMaxHours ||
      *minutes >= kMinutesPerHour || *seconds >= kSecondsPerMinute || *frames >= rate) {
    return std::nullopt;
  }
  const std::uint32_t total_seconds = static_cast<std::uint32_t>(
      (*hours * kMinutesPerHour + *minutes) * kSecondsPerMinute + *seconds);
  return total_seconds * static_cast<std::uint32_t>(rate) + static_cast<std::uint32_t>(*frames);
}

std::optional<bool> ParseBool(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "true") return true;
  if (lower == "false") return false;
  return std::nullopt;
}

std::optional<int> ParseInteger(std::string_view text, int minimum, int maximum) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < minimum ||
      value > maximum) {
    return std::nullopt;
  }
  return value;
}

std::string ReplyLine(int code, std::string_view text) {
  return std::to_string(code) + " " + std::string(text) + std::string(kLineEnd);
}

std::string ReplyList(int code, std::string_view title,
                      const std::vector<std::pair<std::string, std::string>>& fields,
                      const std::vector<std::string>& lines) {
  std::string out = std::to_string(code) + " " + std::string(title) + ":" + std::string(kLineEnd);
  for (const auto& [key, value] : fields) {
    out += key + ": " + value + std::string(kLineEnd);
  }
  for (const std::string& line : lines) out += line + std::string(kLineEnd);
  out += kLineEnd;
  return out;
}

std::string ReplyBlock(int code, std::string_view title,
                       const std::vector<std::pair<std::string, std::string>>& fields) {
  return ReplyList(code, title, fields, {});
}

std::string_view FailureText(int code) {
  switch (code) {
    case kControlSyntaxError:
      return "syntax error";
    case kControlUnsupportedParameter:
      return "unsupported parameter";
    case kControlInvalidValue:
      return "invalid value";
    case kControlUnsupported:
      return "unsupported";
    case kControlNoDisk:
      return "no disk";
    case kControlInternalError:
      return "internal error";
    case kControlOutOfRange:
      return "out of range";
    case kControlRemoteDisabled:
      return "remote control disabled";
    case kControlConnectionRejected:
      return "connection rejected";
    case kControlInvalidState:
      return "invalid state";
    default:
      return "ok";
  }
}

}  // namespace vxr
