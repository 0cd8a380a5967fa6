#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/timecode_text.h"  // FormatTimecode, ParseTimecode

namespace vxr {

// The protocol's text: timecodes, booleans, numbers and reply blocks. Pure.

// "true" or "false", in any letter case.
std::optional<bool> ParseBool(std::string_view text);
// A whole decimal number with an optional sign, within [minimum, maximum].
std::optional<int> ParseInteger(std::string_view text, int minimum, int maximum);

// A reply line ("200 ok") or a block ("208 transport info:" and its "key: value" lines, then an
// empty line), with the CRLF line ends the protocol's server sends.
std::string ReplyLine(int code, std::string_view text);
std::string ReplyBlock(int code, std::string_view title,
                       const std::vector<std::pair<std::string, std::string>>& fields);
// A block whose lines are given whole ("1: name ..."), after the fields.
std::string ReplyList(int code, std::string_view title,
                      const std::vector<std::pair<std::string, std::string>>& fields,
                      const std::vector<std::string>& lines);

// The protocol's text of a failure code ("syntax error", "remote control disabled").
std::string_view FailureText(int code);

}  // namespace vxr
