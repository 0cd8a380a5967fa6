#pragma once

// The benchmarks' percentile: the value at p of the sorted figures, rounded to the nearest rank.

#include <algorithm>
#include <cstddef>
#include <vector>

namespace vxr::bench {

inline double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

}  // namespace vxr::bench
