#include "app/recent_file_list.h"

#include <algorithm>

namespace vxr {
namespace {

std::string EntryKey(int number) { return "File" + std::to_string(number); }

}  // namespace

void CRecentFileList::Add(const std::string& path) {
  if (path.empty()) return;
  std::erase(paths_, path);
  paths_.insert(paths_.begin(), path);
  if (paths_.size() > static_cast<std::size_t>(kSize)) paths_.resize(kSize);
}

void CRecentFileList::ReadFrom(const CConfigStore& config) {
  paths_.clear();
  for (int number = 1; number <= kSize; ++number) {
    const std::string path = config.Read(kSection, EntryKey(number), std::string());
    if (path.empty() || std::find(paths_.begin(), paths_.end(), path) != paths_.end()) continue;
    paths_.push_back(path);
  }
}

void CRecentFileList::WriteTo(CConfigStore& config) const {
  for (int number = 1; number <= kSize; ++number) {
    const std::size_t index = static_cast<std::size_t>(number - 1);
    if (index < paths_.size()) {
      config.Write(kSection, EntryKey(number), paths_[index]);
    } else {
      config.Remove(kSection, EntryKey(number));
    }
  }
}

}  // namespace vxr
