#include "testing/orderly_end.h"

#include <chrono>

namespace vxr::testing {
namespace {

// Words that begin a sanitizer's report in a program's output.
constexpr const char* kSanitizerReports[] = {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer",
                                             "runtime error:"};
constexpr int kMaxRecentFiles = 16;  // past any list the program keeps

// Where the lines come in text, in order; the first one missing or out of order, else empty.
std::string FirstLineOutOfOrder(const std::string& text, const std::vector<std::string>& lines) {
  std::size_t from = 0;
  for (const std::string& line : lines) {
    const std::size_t at = text.find(line, from);
    if (at == std::string::npos) return line;
    from = at + line.size();
  }
  return {};
}

::testing::AssertionResult CheckConfiguration(const DeckProcess& program,
                                              const OrderlyEnd& expected) {
  const std::string file = program.ConfigFile();
  if (expected.port) {
    const std::string port = IniValue(file, "Settings", "Port_name");
    if (port != *expected.port) {
      return ::testing::AssertionFailure()
             << file << ": Port_name is \"" << port << "\", not \"" << *expected.port << "\"";
    }
  }
  if (expected.recent_files) {
    const std::vector<std::string>& paths = *expected.recent_files;
    for (std::size_t i = 0; i < paths.size() + 1 && i < kMaxRecentFiles; ++i) {
      const std::string key = "File" + std::to_string(i + 1);
      const std::string value = IniValue(file, "Recent File List", key);
      const std::string wanted = i < paths.size() ? paths[i] : std::string();
      if (value != wanted) {
        return ::testing::AssertionFailure() << file << ": recent file " << key << " is \"" << value
                                             << "\", not \"" << wanted << "\"";
      }
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace

::testing::AssertionResult EndsInOrder(DeckProcess& program, const OrderlyEnd& expected,
                                       double* took_ms) {
  const auto signalled = std::chrono::steady_clock::now();
  program.Signal(expected.signal_number);
  const int code = program.WaitForExit(expected.within_ms);
  if (took_ms != nullptr) {
    *took_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - signalled)
            .count();
  }
  const std::string log = program.Log();
  if (program.Running()) {
    return ::testing::AssertionFailure() << "still running " << expected.within_ms
                                         << " ms after signal " << expected.signal_number << "\n"
                                         << log;
  }
  if (code != 0) {
    return ::testing::AssertionFailure()
           << "exit code " << code << ", signal " << program.TermSignal() << "\n"
           << log;
  }
  for (const char* report : kSanitizerReports) {
    if (log.find(report) != std::string::npos) {
      return ::testing::AssertionFailure() << "a sanitizer's report (" << report << ")\n" << log;
    }
  }
  if (const std::string missing = FirstLineOutOfOrder(log, expected.lines_in_order);
      !missing.empty()) {
    return ::testing::AssertionFailure() << "\"" << missing << "\" missing or out of order\n"
                                         << log;
  }
  return CheckConfiguration(program, expected);
}

}  // namespace vxr::testing
