#include "protocol/timecode_text.h"

#include <cctype>
#include <cstdio>

namespace vxr {
namespace {

constexpr int kSecondsPerMinute = 60;
constexpr int kMinutesPerHour = 60;
constexpr int kMaxHours = 23;

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
      (text[8] != ':' && text[8] != ';' && text[8] != '.') || rate <= 0) {
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

}  // namespace vxr
