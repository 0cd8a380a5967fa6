#include "sinks/stream/outage_report.h"

namespace vxr {
namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;

std::string Seconds(std::int64_t ns) { return std::to_string(ns / kNsPerSecond); }

}  // namespace

std::string COutageReport::Failed(const std::string& why, std::int64_t now_ns) {
  ++failures_;
  if (!in_outage_) {
    in_outage_ = true;
    outage_start_ns_ = last_line_ns_ = now_ns;
    unreported_ = 0;
    return subject_ + ": " + why;
  }
  ++unreported_;
  if (now_ns - last_line_ns_ < kSummaryEveryNs) return std::string();
  const std::string line = subject_ + ": failed " + std::to_string(unreported_) +
                           " more times in the last " + Seconds(now_ns - last_line_ns_) + " s (" +
                           why + ")";
  last_line_ns_ = now_ns;
  unreported_ = 0;
  return line;
}

std::string COutageReport::Recovered(std::int64_t now_ns) {
  if (!in_outage_) return std::string();
  const std::string line = subject_ + ": sending the program again after " +
                           std::to_string(failures_) + " failures in " +
                           Seconds(now_ns - outage_start_ns_) + " s";
  in_outage_ = false;
  failures_ = unreported_ = 0;
  return line;
}

}  // namespace vxr
