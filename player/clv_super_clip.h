#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/hresult.h"
#include "player/clv_movie.h"

namespace vxr {

// The material of one tape: movies played one after another (IClvPlayServer::get_SuperClip gives
// a new, empty one). Its time runs from 0 to get_Duration seconds; the timeline queues stretches
// of it with AddSuperClipFragment. Material is only ever appended, so queued stretches stay valid.
class IClvSuperClip {
 public:
  virtual ~IClvSuperClip() = default;

  // Appends every clip of the timeline project at path (UTF-8; the TML format of the software
  // board's README). All or nothing: a failure appends nothing. Results: S_OK; E_INVALIDARG for
  // an empty path; HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND / ERROR_ACCESS_DENIED) for the
  // project file; CLV_E_BAD_PROJECT for a project that cannot be read; a clip's own OpenFile
  // result when one of its movies cannot be opened.
  virtual HRESULT AddProject(const std::string& path) = 0;

  // Appends the whole of an opened movie. E_POINTER for null, E_INVALIDARG for a movie of
  // another server, CLV_E_NO_MATERIAL for a movie that has no file open.
  virtual HRESULT AddMovie(const std::shared_ptr<IClvMovie>& movie) = 0;

  // Flags (the material flags of clv_movie.h), picture width and height of the material: those
  // of its first clip. Outputs may be null. CLV_E_NO_MATERIAL while the super clip is empty.
  virtual HRESULT GetFilledDataInfo(std::uint32_t* flags, std::int32_t* width,
                                    std::int32_t* height) = 0;

  // Length in seconds: the sum over the clips of frame count / frame rate. When that is an
  // exact number of output frames, duration x output rate never falls short of it through
  // rounding, so trunc(duration x rate) counts every frame. E_POINTER for null,
  // CLV_E_NO_MATERIAL while the super clip is empty.
  virtual HRESULT get_Duration(double* seconds) = 0;
};

}  // namespace vxr
