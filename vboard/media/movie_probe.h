#pragma once

#include <cstdint>
#include <string>

#include "platform/hresult.h"

namespace vxr {

// What probing a movie file found out.
struct MovieFacts {
  std::string path;
  std::int32_t width = 0;
  std::int32_t height = 0;
  int rate_num = 0;  // frame rate num / den
  int rate_den = 1;
  std::uint32_t frame_count = 0;
  std::uint32_t flags = 0;  // kClvFlag* of player/clv_movie.h
  double aspect_ratio = 0.0;
  std::string codec;  // the picture codec's short name, e.g. "mpeg4", "h264"

  double FramesPerSecond() const { return static_cast<double>(rate_num) / rate_den; }
};

// Probes the file with libavformat and checks that its last frame is really there. The results
// are those of IClvMovie::OpenFile. Any bytes are safe: only local files are opened, and only
// container formats that carry movies are considered.
HRESULT ProbeMovie(const std::string& path, MovieFacts* facts);

}  // namespace vxr
