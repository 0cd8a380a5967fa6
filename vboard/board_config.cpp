#include "vboard/board_config.h"

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
  return config;
}

BoardConfig BoardConfigFromEnvironment() {
  return BoardConfigFromEnvironment([](const char* name) { return std::getenv(name); }, std::cerr);
}

}  // namespace vxr
