#pragma once

#include <cstdint>
#include <string>

#include "platform/hresult.h"

namespace vxr {

// Material flags, as GetMovieInfo and IClvSuperClip::GetFilledDataInfo give them.
inline constexpr std::uint32_t kClvFlagInterlaced = 0x02;        // picture coded as two fields
inline constexpr std::uint32_t kClvFlagTopFieldFirst = 0x10;     // with 0x02: upper field first
inline constexpr std::uint32_t kClvFlagBottomFieldFirst = 0x20;  // with 0x02: lower field first
inline constexpr std::uint32_t kClvFlagFieldOrderMask = 0x30;    // field order known

// One movie file of the playback server (class ClvMovie, created in-process through
// CreateInstance of player/server_registry.h). A movie is opened once and then added to a super
// clip; the super clip keeps what it needs, so the movie may be released right after AddMovie.
class IClvMovie {
 public:
  virtual ~IClvMovie() = default;

  // Opens and probes the movie at path (UTF-8): length, picture size, frame rate, interlacing.
  // Opening again replaces the movie. Results:
  //   S_OK; E_INVALIDARG for an empty path;
  //   HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when nothing is at the path;
  //   HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) when it cannot be read (rights, a folder);
  //   CLV_E_NOT_A_MOVIE when it is no movie (empty, text, unknown bytes);
  //   CLV_E_NO_VIDEO when it holds no decodable video stream;
  //   CLV_E_DAMAGED_MOVIE when it is truncated or its length, size or rate are unusable.
  // A failure leaves the movie closed. Any bytes are safe to open.
  virtual HRESULT OpenFile(const std::string& path) = 0;

  // Facts of stream 0 (the picture); every output may be null. CLV_E_NO_MATERIAL before a
  // successful OpenFile, E_INVALIDARG for another stream.
  //   width, height: picture size in pixels
  //   frames_per_second: the material's frame rate
  //   frame_count: frames in the movie
  //   duration: frame_count / frames_per_second, seconds
  //   flags: the material flags above
  //   aspect_ratio: display aspect ratio (width / height of the shown picture)
  virtual HRESULT GetMovieInfo(std::int32_t stream, std::int32_t* width, std::int32_t* height,
                               double* frames_per_second, std::uint32_t* frame_count,
                               double* duration, std::uint32_t* flags, double* aspect_ratio) = 0;
};

}  // namespace vxr
