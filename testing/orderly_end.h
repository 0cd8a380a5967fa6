#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <optional>
#include <string>
#include <vector>

#include "testing/deck_process.h"

namespace vxr::testing {

// What a running vxrdeck program leaves when a signal ends it (the program takes SIGTERM,
// SIGHUP and SIGINT as POWER): the checks shared by every test that ends the program so.
struct OrderlyEnd {
  // A bound for the end to come; generous, for a wait and not a measure of speed.
  static constexpr int kEndMs = 30000;

  int signal_number = SIGTERM;
  int within_ms = kEndMs;
  // Settings/Port_name in the configuration afterwards; "" for none at all, nothing to leave it
  // unchecked.
  std::optional<std::string> port;
  // The recent-file list afterwards, from File1 on, with no entry after the last; nothing to
  // leave it unchecked.
  std::optional<std::vector<std::string>> recent_files;
  // Lines the program's output holds, in this order.
  std::vector<std::string> lines_in_order;
};

// Sends the signal and checks the end: exit code 0 (not ended by a signal) within the bound,
// no sanitizer's report in the output, then what expected names. *took_ms, when given, is the
// time from the signal to the end.
::testing::AssertionResult EndsInOrder(DeckProcess& program, const OrderlyEnd& expected,
                                       double* took_ms = nullptr);

}  // namespace vxr::testing
