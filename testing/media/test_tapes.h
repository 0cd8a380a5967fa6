#pragma once

#include <string>

#include "testing/media/tape_writer.h"

namespace vxr::testing {

// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // Empty when the folder could not be made.
  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string File(const std::string& name) const;
  // Writes bytes to File(name) and returns its path.
  std::string WriteFile(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);

// Writes a test tape named name into the folder and returns its path; empty on failure, with
// the reason in *error when given.
std::string MakeTestTape(const TempFolder& folder, const std::string& name, const TapeSpec& spec,
                         std::string* error = nullptr);

// A small tape for tests: seconds long at the rate (25 or 30000/1001), 64 x 48 pixels.
TapeSpec SmallTape(double seconds, int rate_num = 25, int rate_den = 1);

}  // namespace vxr::testing
