#include "netctl/control_text.h"

#include <cctype>
#include <charconv>

#include "netctl/deck_control.h"

namespace vxr {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

}  // namespace

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
