// maketape: writes a test tape whose every frame shows its own frame number and timecode.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "testing/media/tape_writer.h"

namespace {

constexpr const char* kUsage =
    "usage: maketape [--seconds S | --frames N] [--size WxH] [--rate 25|29.97|30000/1001]\n"
    "                [--quality 2..31] [--codec mjpeg|mpeg4|h264] [--gop N]\n"
    "                [--sound 48000|44100] OUTPUT.avi|.mkv|.mp4\n"
    "Writes a movie (default an MJPEG AVI of 10 seconds, 720x576, 25 fps) whose frames show\n"
    "their frame number and timecode, with the number also as a strip of blocks that programs\n"
    "can read. mpeg4 and h264 code a key frame every N pictures (default 12) with B pictures\n"
    "between; they need .mkv or .mp4 to keep the pictures' showing times. --sound adds a\n"
    "stereo PCM track, silent but for a 10 ms 1 kHz tone starting exactly with every frame\n"
    "whose number is a multiple of the timecode rate (25 or 30).\n";

bool ParseNumber(const char* text, double* value) {
  char* end = nullptr;
  *value = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(*value);
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "maketape: %s\n%s", message.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  vxr::TapeSpec spec;
  double seconds = 10.0;
  long frames = -1;
  std::string output;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    double number = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--seconds" && has_value) {
      if (!ParseNumber(argv[++i], &seconds) || seconds <= 0) return Fail("bad --seconds");
    } else if (arg == "--frames" && has_value) {
      if (!ParseNumber(argv[++i], &number) || number < 1 || number != std::floor(number)) {
        return Fail("bad --frames");
      }
      frames = static_cast<long>(number);
    } else if (arg == "--size" && has_value) {
      if (std::sscanf(argv[++i], "%dx%d", &spec.width, &spec.height) != 2) {
        return Fail("bad --size");
      }
    } else if (arg == "--rate" && has_value) {
      const std::string rate = argv[++i];
      if (rate == "25") {
        spec.rate_num = 25;
        spec.rate_den = 1;
      } else if (rate == "29.97" || rate == "30000/1001") {
        spec.rate_num = 30000;
        spec.rate_den = 1001;
      } else {
        return Fail("bad --rate");
      }
    } else if (arg == "--quality" && has_value) {
      if (!ParseNumber(argv[++i], &number)) return Fail("bad --quality");
      spec.quality = static_cast<int>(number);
    } else if (arg == "--codec" && has_value) {
      const std::string codec = argv[++i];
      if (codec == "mjpeg") {
        spec.codec = vxr::TapeCodec::kMjpeg;
      } else if (codec == "mpeg4") {
        spec.codec = vxr::TapeCodec::kMpeg4;
      } else if (codec == "h264") {
        spec.codec = vxr::TapeCodec::kH264;
      } else {
        return Fail("bad --codec");
      }
    } else if (arg == "--sound" && has_value) {
      const std::string rate = argv[++i];
      if (rate != "48000" && rate != "44100") return Fail("bad --sound");
      spec.tone_bursts = true;
      spec.sound_rate = std::stoi(rate);
    } else if (arg == "--gop" && has_value) {
      if (!ParseNumber(argv[++i], &number) || number < 1 || number != std::floor(number)) {
        return Fail("bad --gop");
      }
      spec.gop = static_cast<int>(number);
    } else if (!arg.empty() && arg[0] != '-' && output.empty()) {
      output = arg;
    } else {
      return Fail("unexpected argument \"" + arg + "\"");
    }
  }
  if (output.empty()) return Fail("no output file");
  const double rate = static_cast<double>(spec.rate_num) / spec.rate_den;
  const double count = frames > 0 ? static_cast<double>(frames) : std::round(seconds * rate);
  if (count < 1 || count > 0xFFFFFF) return Fail("the tape must have 1 to 16777215 frames");
  spec.frames = static_cast<std::uint32_t>(count);
  std::string error;
  if (!vxr::WriteTestTape(output, spec, &error)) {
    std::fprintf(stderr, "maketape: %s: %s\n", output.c_str(), error.c_str());
    return 1;
  }
  return 0;
}
