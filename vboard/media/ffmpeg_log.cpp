#include "vboard/media/ffmpeg_log.h"

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string_view>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "platform/diagnostics.h"

namespace vxr {
namespace {

constexpr std::string_view kSecretOptions[] = {"passphrase=", "secret="};
constexpr std::size_t kMaxLogLine = 1024;

std::atomic<bool> routed{false};
std::atomic<std::int64_t> quiet_messages{0};
// The lines CaptureFfmpegErrors keeps for this thread; null when none runs here.
thread_local std::string* captured = nullptr;

void Capture(void* object, int level, const char* format, va_list arguments) {
  if (level > AV_LOG_ERROR) return;
  char line[kMaxLogLine];
  int print_prefix = 0;
  av_log_format_line2(object, level, format, arguments, line, sizeof line, &print_prefix);
  std::string text = RedactSecrets(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text.empty()) return;
  if (!captured->empty()) *captured += "; ";
  *captured += text;
}

// Whether object speaks for the input side: a decoder, a demuxer or an input device, or a
// codec context without a codec (a demuxer keeps those for its streams while it probes them).
bool InputSide(void* object) {
  if (object == nullptr) return false;
  const AVClass* type = *static_cast<const AVClass* const*>(object);
  if (type == nullptr) return false;
  if (type == avcodec_get_class()) {
    const AVCodec* codec = static_cast<const AVCodecContext*>(object)->codec;
    return codec == nullptr || av_codec_is_decoder(codec) != 0;
  }
  const AVClassCategory category =
      type->get_category != nullptr ? type->get_category(object) : type->category;
  return category == AV_CLASS_CATEGORY_DECODER || category == AV_CLASS_CATEGORY_DEMUXER ||
         category == AV_CLASS_CATEGORY_INPUT || AV_IS_INPUT_DEVICE(category);
}

void LogCallback(void* object, int level, const char* format, va_list arguments) {
  if (captured != nullptr) return Capture(object, level, format, arguments);
  if (InputSide(object)) {
    quiet_messages.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (!routed.load()) {
    if (level <= AV_LOG_FATAL) av_log_default_callback(object, level, format, arguments);
    return;
  }
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

void InstallFfmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(&LogCallback); });
}

void RouteFfmpegLog() {
  routed = true;
  InstallFfmpegLog();
}

std::string CaptureFfmpegErrors(const std::function<void()>& work) {
  InstallFfmpegLog();
  std::string text;
  std::string* outer = captured;
  captured = &text;
  work();
  captured = outer;
  return text;
}

std::int64_t QuietFfmpegMessages() { return quiet_messages.load(); }

}  // namespace vxr
