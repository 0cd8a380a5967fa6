#pragma once

// What the file-reading fuzz targets share: a private folder for the files they write.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vxr::fuzz {

// A folder of its own under the temporary folder, made once; ends in '/'.
inline const std::string& WorkFolder() {
  static const std::string folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vxr-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("fuzz: no work folder");
      std::abort();
    }
    return pattern + "/";
  }();
  return folder;
}

// Writes the bytes to the file (replacing it); aborts when the system cannot.
inline void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || (size != 0 && std::fwrite(data, 1, size, file) != size) ||
      std::fclose(file) != 0) {
    std::perror("fuzz: cannot write the input file");
    std::abort();
  }
}

}  // namespace vxr::fuzz
