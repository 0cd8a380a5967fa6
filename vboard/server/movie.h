#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "player/clv_movie.h"
#include "vboard/media/movie_probe.h"
#include "vboard/server/fault_injector.h"

namespace vxr {

// The software board's movie object.
class CMovie : public IClvMovie {
 public:
  explicit CMovie(std::shared_ptr<CFaultInjector> faults = nullptr) : faults_(std::move(faults)) {}

  HRESULT OpenFile(const std::string& path) override;
  HRESULT GetMovieInfo(std::int32_t stream, std::int32_t* width, std::int32_t* height,
                       double* frames_per_second, std::uint32_t* frame_count, double* duration,
                       std::uint32_t* flags, double* aspect_ratio) override;

  // The facts of the open movie, none while closed.
  std::optional<MovieFacts> Facts() const;

 private:
  const std::shared_ptr<CFaultInjector> faults_;
  mutable std::mutex mutex_;  // guards facts_
  std::optional<MovieFacts> facts_;
};

}  // namespace vxr
