#include "vboard/media/ffmpeg_log.h"

#include <cstdarg>
#include <mutex>
#include <string_view>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/diagnostics.h"

namespace vxr {
namespace {

constexpr std::string_view kSecretOptions[] = {"passphrase=", "secret="};
constexpr std::size_t kMaxLogLine = 1024;

void LogCallback(void* object, int level, const char* format, va_list arguments) {
  if (level > AV_LOG_ERROR) return;
  char line[kMaxLogLine];
  int print_prefix = 1;
  av_log_format_line2(object, level, format, arguments, line, sizeof line, &print_prefix);
  DebugOutput("FFmpeg", RedactSecrets(line));
}

}  // namespace

std::string RedactSecrets(std::string text) {
  for (std::string_view option : kSecretOptions) {
    std::size_t at = 0;
    while ((at = text.find(option, at)) != std::string::npos) {
      const std::size_t value = at + option.size();
      const std::size_t end = text.find_first_of("& \t\r\n\"'", value);
      text.replace(value, (end == std::string::npos ? text.size() : end) - value, "***");
      at = value + 3;
    }
  }
  return text;
}

void RouteFfmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(&LogCallback); });
}

}  // namespace vxr
