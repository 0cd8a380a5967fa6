#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vxr {

// One command of the studio's TCP control protocol: its name ("transport info", "goto") and its
// parameters in the order given ("clip id" -> "2"). Names and keys are lower case.
struct ControlCommand {
  std::string name;
  std::vector<std::pair<std::string, std::string>> parameters;
  // Set when the text was not a command: the reply is the protocol's syntax error.
  bool syntax_error = false;

  // The value of the first parameter called key, if any.
  const std::string* Find(std::string_view key) const;
};

// Parses one command written on one line: "name", "name: key: value key: value ...". Values may
// hold colons (timecodes): a value runs to the next known parameter name followed by a colon.
ControlCommand ParseCommandLine(std::string_view line);

// Cuts the bytes a client sends into commands, in both of the protocol's forms: one line
// ("goto: clip id: 2") or a block ("goto:" then "clip id: 2" lines, then an empty line). Lines
// end with LF or CRLF. A command longer than kMaxCommandBytes becomes one syntax error and the
// rest of it is skipped. Pure: no I/O and no clock; the caller asks Pending() to time out a
// command that never ends.
class CControlParser {
 public:
  static constexpr std::size_t kMaxCommandBytes = 4096;

  // Takes more bytes; complete commands are returned in order.
  std::vector<ControlCommand> Feed(std::string_view bytes);
  // True while part of a command has been received but not its end.
  bool Pending() const { return !line_.empty() || in_block_ || skipping_; }
  // Drops the unfinished command; the caller answers it with a syntax error.
  void Abandon();

 private:
  void EndLine(std::vector<ControlCommand>* out);
  void AddBlockLine(std::string_view line);

  std::string line_;
  bool in_block_ = false;
  ControlCommand block_;
  std::size_t block_bytes_ = 0;
  // The current block is over the limit or malformed: its lines are dropped up to its end.
  bool skipping_ = false;
};

}  // namespace vxr
