#include "vboard/server/movie.h"

#include <utility>

#include "player/clv_results.h"

namespace vxr {

HRESULT CMovie::OpenFile(const std::string& path) {
  MovieFacts facts;
  HRESULT result = InjectedFault(faults_, BoardCall::kOpenFile);
  if (SUCCEEDED(result)) result = ProbeMovie(path, &facts);
  std::lock_guard lock(mutex_);
  if (SUCCEEDED(result)) {
    facts_ = std::move(facts);
  } else {
    facts_.reset();
  }
  return result;
}

HRESULT CMovie::GetMovieInfo(std::int32_t stream, std::int32_t* width, std::int32_t* height,
                             double* frames_per_second, std::uint32_t* frame_count,
                             double* duration, std::uint32_t* flags, double* aspect_ratio) {
  std::lock_guard lock(mutex_);
  if (!facts_) return CLV_E_NO_MATERIAL;
  if (stream != 0) return E_INVALIDARG;
  if (width) *width = facts_->width;
  if (height) *height = facts_->height;
  if (frames_per_second) *frames_per_second = facts_->FramesPerSecond();
  if (frame_count) *frame_count = facts_->frame_count;
  if (duration) *duration = facts_->frame_count / facts_->FramesPerSecond();
  if (flags) *flags = facts_->flags;
  if (aspect_ratio) *aspect_ratio = facts_->aspect_ratio;
  return S_OK;
}

std::optional<MovieFacts> CMovie::Facts() const {
  std::lock_guard lock(mutex_);
  return facts_;
}

}  // namespace vxr
