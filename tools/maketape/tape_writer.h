#pragma once

#include <cstdint>
#include <string>

namespace vxr {

// A test tape: frames numbered from 0, each showing its number (tape_picture.h).
struct TapeSpec {
  std::uint32_t frames = 250;
  int width = 720;
  int height = 576;
  int rate_num = 25;  // 25/1 or 30000/1001
  int rate_den = 1;
  int quality = 3;  // MJPEG quantiser, 2 (best) .. 31
};

// Writes the tape as an MJPEG AVI (every frame intra-coded, so every frame is seekable).
// False with a reason on failure; a half-written file is removed.
bool WriteTestTape(const std::string& path, const TapeSpec& spec, std::string* error);

}  // namespace vxr
