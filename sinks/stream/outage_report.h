#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace vxr {

// What a stream output says of a destination that keeps failing, so that an outage of hours is
// a few lines of the log, not one a retry: the first failure of an outage in its own words, then
// at most one line every kSummaryEveryNs with how many more failures there were, and one line
// when the destination works again. Pure: the caller gives the times (steady, nanoseconds) and
// logs the lines it gets back.
class COutageReport {
 public:
  static constexpr std::int64_t kSummaryEveryNs = 60'000'000'000;

  // subject begins every line ("output NAME").
  explicit COutageReport(std::string subject) : subject_(std::move(subject)) {}

  // A failure at now_ns, why in the user's words: the line to log, or empty.
  std::string Failed(const std::string& why, std::int64_t now_ns);
  // The destination works again at now_ns: the line to log, or empty when there was no outage.
  std::string Recovered(std::int64_t now_ns);
  bool InOutage() const { return in_outage_; }

 private:
  std::string subject_;
  bool in_outage_ = false;
  std::int64_t failures_ = 0;      // in this outage
  std::int64_t unreported_ = 0;    // failures since the last line
  std::int64_t last_line_ns_ = 0;  // when the last line of this outage was given
  std::int64_t outage_start_ns_ = 0;
};

}  // namespace vxr
