#pragma once

#include <string>

namespace vxr::testing {

// The vxrdeck program (the built one or an installed one) started where there is no display:
// none at all, or a platform Qt does not have. Help, the version and a bad option need none;
// the panel without one ends with exit code 1 and one line that says how to run headless. Each
// case is checked with gtest's EXPECT; the runs' configuration and output go under folder.
void ExpectNoDisplayStart(const std::string& program, const std::string& folder);

}  // namespace vxr::testing
