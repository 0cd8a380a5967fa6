// Any bytes as a movie file for the board's movie probing: a defined result, and on success
// facts a tape can be built from; the movie object agrees with the probe.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_files.h"
#include "player/clv_results.h"
#include "vboard/media/movie_probe.h"
#include "vboard/server/movie.h"

namespace {

[[noreturn]] void Fault(const char* what, HRESULT result) {
  std::fprintf(stderr, "movie probe: %s (0x%08X)\n", what, static_cast<unsigned>(result));
  std::abort();
}

bool KnownFailure(HRESULT result) {
  return result == CLV_E_NOT_A_MOVIE || result == CLV_E_NO_VIDEO || result == CLV_E_DAMAGED_MOVIE ||
         result == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) ||
         result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 18) return 0;
  const std::string path = vxr::fuzz::WorkFolder() + "m.avi";
  vxr::fuzz::WriteWholeFile(path, data, size);

  vxr::MovieFacts facts;
  const HRESULT result = vxr::ProbeMovie(path, &facts);
  vxr::CMovie movie;
  const HRESULT opened = movie.OpenFile(path);
  if (opened != result) Fault("movie object and probe disagree", opened);
  if (FAILED(result)) {
    if (!KnownFailure(result)) Fault("result outside the board's set", result);
    if (movie.Facts().has_value()) Fault("facts kept after a failure", result);
    return 0;
  }
  if (facts.path != path || facts.width < 1 || facts.height < 1 || facts.width > 16384 ||
      facts.height > 16384 || facts.rate_num <= 0 || facts.rate_den <= 0 ||
      !(facts.FramesPerSecond() >= 1.0 && facts.FramesPerSecond() <= 1000.0) ||
      facts.frame_count < 1 || !(facts.aspect_ratio > 0.0)) {
    Fault("facts no tape can be built from", result);
  }
  double duration = 0.0;
  if (movie.GetMovieInfo(0, nullptr, nullptr, nullptr, nullptr, &duration, nullptr, nullptr) !=
          S_OK ||
      !(duration > 0.0)) {
    Fault("movie info", result);
  }
  return 0;
}
