#include "vboard/server/board_config.h"

#include <array>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <ostream>

namespace vxr {
namespace {

constexpr std::array<OutputFormat, 6> kFormats = {{
    {"pal", 720, 576, 25, 1},
    {"ntsc", 720, 486, 30000, 1001},
    {"1080-25", 1920, 1080, 25, 1},
    {"1080-29.97", 1920, 1080, 30000, 1001},
    {"720-25", 1280, 720, 25, 1},
    {"720-29.97", 1280, 720, 30000, 1001},
}};

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// A whole decimal number from low to high, digits only; nullopt otherwise.
std::optional<std::size_t> Whole(std::string_view text, std::size_t low, std::size_t high) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::size_t value = 0;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') return std::nullopt;
    value = value * 10 + static_cast<std::size_t>(digit - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

}  // namespace

bool FindOutputFormat(std::string_view name, OutputFormat* format) {
  for (const OutputFormat& candidate : kFormats) {
    if (SameIgnoringCase(name, candidate.name)) {
      *format = candidate;
      return true;
    }
  }
  return false;
}

BoardConfig BoardConfigFromEnvironment(const std::function<const char*(const char*)>& lookup,
                                       std::ostream& errors) {
  BoardConfig config;
  if (const char* count = lookup("VXR_BOARD_COUNT")) {
    const std::string_view text(count);
    if (text.size() == 1 && text[0] >= '0' && text[0] - '0' <= kMaxBoards) {
      config.board_count = text[0] - '0';
    } else {
      errors << "vboard: VXR_BOARD_COUNT=\"" << text << "\" is not a board count from 0 to "
             << kMaxBoards << "; using " << config.board_count << "\n";
    }
  }
  if (const char* name = lookup("VXR_BOARD_FORMAT")) {
    if (!FindOutputFormat(name, &config.format)) {
      errors << "vboard: VXR_BOARD_FORMAT=\"" << name
             << "\" is not one of pal, ntsc, 1080-25, 1080-29.97, 720-25, 720-29.97; using "
             << config.format.name << "\n";
    }
  }
  if (const char* registered = lookup("VXR_BOARD_REGISTERED")) {
    const std::string_view text(registered);
    if (text == "0" || text == "1") {
      config.registered = text == "1";
    } else {
      errors << "vboard: VXR_BOARD_REGISTERED=\"" << text << "\" is neither 0 nor 1; using 1\n";
    }
  }
  if (const char* log = lookup("VXR_BOARD_LOG")) config.log_path = log;
  if (const char* megabytes = lookup("VXR_BOARD_DECODE_MB")) {
    config.decode_mb = Whole(megabytes, kMinDecodeMb, kMaxDecodeMb);
    if (!config.decode_mb) {
      errors << "vboard: VXR_BOARD_DECODE_MB=\"" << megabytes
             << "\" is not a number of megabytes from " << kMinDecodeMb << " to " << kMaxDecodeMb
             << "; using the default\n";
    }
  }
  if (const char* ahead = lookup("VXR_BOARD_READ_AHEAD")) {
    config.read_ahead = Whole(ahead, 1, kMaxReadAhead);
    if (!config.read_ahead) {
      errors << "vboard: VXR_BOARD_READ_AHEAD=\"" << ahead
             << "\" is not a number of pictures from 1 to " << kMaxReadAhead
             << "; using the default\n";
    }
  }
  return config;
}

BoardConfig BoardConfigFromEnvironment() {
  return BoardConfigFromEnvironment([](const char* name) { return std::getenv(name); }, std::cerr);
}

}  // namespace vxr
