#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hresult.h"

namespace vxr {

// One clip line of a timeline project.
struct TmlClip {
  std::string path;                        // the movie, resolved against the project's folder
  int line = 0;                            // where it was written
  std::optional<std::uint32_t> in_frame;   // first frame played; the movie's first when absent
  std::optional<std::uint32_t> out_frame;  // last frame played; the movie's last when absent
};

inline constexpr std::size_t kMaxTmlBytes = 1 << 20;
inline constexpr std::size_t kMaxTmlClips = 10000;

// Reads project text (the format of vboard/README.md). Relative movie paths are joined to
// folder (which ends in '/' or is empty). On a fault returns false, appends nothing, and sets
// error to "line N: what is wrong".
bool ParseTmlProject(std::string_view text, const std::string& folder, std::vector<TmlClip>* clips,
                     std::string* error);

// Reads the project file at path. Results: S_OK; HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) or
// (ERROR_ACCESS_DENIED) for the file; CLV_E_BAD_PROJECT with error set for its content.
HRESULT ReadTmlProject(const std::string& path, std::vector<TmlClip>* clips, std::string* error);

}  // namespace vxr
