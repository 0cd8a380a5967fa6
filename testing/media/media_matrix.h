#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testing/media/tape_writer.h"
#include "testing/media/test_tapes.h"

namespace vxr::testing {

// One row of the media matrix: material broadcast users bring, made with the library's own
// encoders from a test tape, so that every picture carries its number.
struct MediaRow {
  const char* name;
  const char* file;  // the extension picks the container
  const char* encoder;
  const char* pixel_format;
  const char* options;
  int gop;
  int b_frames;
  int width;
  int height;
  int rate_num;  // the material's rate
  int rate_den;
  const char* board;
  bool project;       // a clip (from kRowInFrame) of a TML project, else the movie itself
  const char* sound;  // tone track encoder: "" 16-bit PCM, nullptr no sound
  int sound_rate;
  bool interlaced;
  std::uint32_t frames;
  int uneven = 0;           // variable frame rate (TapeSpec::uneven)
  bool fixed_size = false;  // the codec takes only this picture size (DV)
};

// Project rows play their clip from this movie frame.
inline constexpr std::uint32_t kRowInFrame = 3;

// The rows: short tapes at small sizes where the codec allows, long GOPs long enough to hold two.
const std::vector<MediaRow>& MediaRows();

// Whether the library has the row's encoder.
bool HasEncoder(const MediaRow& row);

// The tape the row makes at its own size and length, or at another (0: the row's own).
TapeSpec SpecOf(const MediaRow& row, int width = 0, int height = 0, std::uint32_t frames = 0);

// A row's material written to a folder.
struct MadeRow {
  TapeSpec spec;
  std::string movie;    // the movie file
  std::string project;  // the TML project of a project row, else empty
};

// Writes spec as the row's movie (named prefix + the row's file) and, for a project row, its
// one-clip project. False with a reason on failure.
bool MakeRow(const TempFolder& folder, const MediaRow& row, const TapeSpec& spec,
             const std::string& prefix, MadeRow* made, std::string* error);

// The movie picture that shows at tape frame t on an output of output_rate: the period of the
// material's rate that holds t / output_rate (from the clip's in point), and the picture that
// shows then (with a variable frame rate an earlier one may still show).
std::int64_t PictureAt(const MediaRow& row, const TapeSpec& spec, double output_rate,
                       std::int64_t t);

}  // namespace vxr::testing
