// Any bytes as a timeline project: the reader either refuses them with a line-numbered reason
// and appends nothing, or gives clips with paths, increasing lines and in <= out; reading the
// same bytes from a file agrees.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_files.h"
#include "player/clv_results.h"
#include "vboard/server/tml_project.h"

namespace {

[[noreturn]] void Fault(const char* what, const std::string& error) {
  std::fprintf(stderr, "tml: %s (%s)\n", what, error.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 16) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<vxr::TmlClip> clips(1);  // a clip already there must stay the only one on failure
  clips[0].path = "kept.avi";
  std::string error;
  const bool parsed = vxr::ParseTmlProject(text, "/projects/", &clips, &error);
  if (!parsed) {
    if (clips.size() != 1 || clips[0].path != "kept.avi") Fault("appended on failure", error);
    if (error.rfind("line ", 0) != 0) Fault("reason without its line", error);
  } else {
    if (clips.size() < 2) Fault("success without a clip", error);
    int line = 0;
    for (std::size_t i = 1; i < clips.size(); ++i) {
      const vxr::TmlClip& clip = clips[i];
      if (clip.path.empty() || clip.line <= line) Fault("clip path or line", clip.path);
      if (clip.path[0] != '/') Fault("relative path left unresolved", clip.path);
      if (clip.out_frame && (!clip.in_frame || *clip.out_frame < *clip.in_frame)) {
        Fault("out frame before in frame", clip.path);
      }
      line = clip.line;
    }
  }

  const std::string path = vxr::fuzz::WorkFolder() + "p.tml";
  vxr::fuzz::WriteWholeFile(path, data, size);
  std::vector<vxr::TmlClip> from_file;
  std::string file_error;
  const HRESULT read = vxr::ReadTmlProject(path, &from_file, &file_error);
  if ((read == S_OK) != parsed) Fault("file and text disagree", file_error);
  if (read != S_OK && read != CLV_E_BAD_PROJECT) Fault("unexpected result", file_error);
  if (parsed && from_file.size() != clips.size() - 1) Fault("file gives other clips", file_error);
  return 0;
}
