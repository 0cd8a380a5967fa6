#include "testing/media/test_tapes.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace vxr::testing {

TempFolder::TempFolder() {
  std::error_code error;
  std::string pattern = (std::filesystem::temp_directory_path(error) / "vxr-test-XXXXXX").string();
  if (error) pattern = "/tmp/vxr-test-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempFolder::~TempFolder() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempFolder::File(const std::string& name) const { return path_ + "/" + name; }

std::string TempFolder::WriteFile(const std::string& name, const std::string& bytes) const {
  const std::string file = File(name);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string MakeTestTape(const TempFolder& folder, const std::string& name, const TapeSpec& spec,
                         std::string* error) {
  if (folder.path().empty()) {
    if (error) *error = "no temporary folder";
    return {};
  }
  const std::string path = folder.File(name);
  return WriteTestTape(path, spec, error) ? path : std::string();
}

TapeSpec SmallTape(double seconds, int rate_num, int rate_den) {
  TapeSpec spec;
  spec.width = 64;
  spec.height = 48;
  spec.rate_num = rate_num;
  spec.rate_den = rate_den;
  spec.frames = static_cast<std::uint32_t>(std::lround(seconds * rate_num / rate_den));
  spec.quality = 2;
  return spec;
}

}  // namespace vxr::testing
