#pragma once

#include <string>
#include <vector>

#include "app/config_store.h"

namespace vxr {

// The tapes loaded most recently, newest first, at most four, each path once. Kept in the
// configuration as "Recent File List" / "File1" to "File4".
class CRecentFileList {
 public:
  static constexpr int kSize = 4;
  static constexpr const char* kSection = "Recent File List";

  // Puts path at the front; a path already listed moves there. An empty path is ignored.
  void Add(const std::string& path);
  const std::vector<std::string>& Paths() const { return paths_; }

  // Replaces the list with the stored entries (empty and repeated ones skipped).
  void ReadFrom(const CConfigStore& config);
  // Stores the list as File1 (newest) onwards and removes the entries beyond it.
  void WriteTo(CConfigStore& config) const;

 private:
  std::vector<std::string> paths_;
};

}  // namespace vxr
