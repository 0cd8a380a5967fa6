#pragma once

#include <string>
#include <string_view>

namespace vxr {

// The data folder of an installed deck, relative to the folder of its executable
// (<prefix>/bin -> <prefix>/share/vxrdeck), so that an installation under any prefix, or an
// unpacked package, finds its own files.
inline constexpr std::string_view kInstalledDataFolder = "../share/vxrdeck";

// The skin the panel loads: the one next to the executable (named after it) when that file
// exists, else the same name in the installed data folder when that exists, else the one next
// to the executable (so that the panel's error names where a skin was looked for first).
std::string FindSkinPath(std::string_view executable_path);

}  // namespace vxr
