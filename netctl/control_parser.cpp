#include "netctl/control_parser.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace vxr {
namespace {

// Parameter names of the protocol's commands. A single-line command's value ends where one of
// them follows, after a blank, with its colon.
constexpr std::array<std::string_view, 32> kParameterNames = {
    "clip id",
    "clip",
    "timecode",
    "timeline",
    "slot id",
    "speed",
    "loop",
    "single clip",
    "enable",
    "override",
    "period",
    "transport",
    "slot",
    "remote",
    "configuration",
    "display timecode",
    "timeline position",
    "version",
    "in",
    "out",
    "count",
    "video format",
    "file format",
    "audio input",
    "video input",
    "name",
    "dropped frames",
    "timeline in",
    "timeline out",
    "slot name",
    "reverse",
    "player",
};

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// Where the next " name:" starts in text (the blank's position), or npos.
std::size_t NextParameter(std::string_view text) {
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] != ' ' && text[at] != '\t') continue;
    const std::string_view after = text.substr(at + 1);
    for (std::string_view name : kParameterNames) {
      if (StartsWithNoCase(after, name) && after.size() > name.size() &&
          after[name.size()] == ':') {
        return at;
      }
    }
  }
  return std::string_view::npos;
}

ControlCommand SyntaxError() {
  ControlCommand command;
  command.syntax_error = true;
  return command;
}

// Every byte of a command is printable text: anything else is not the protocol.
bool IsText(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 || byte == '\t' || byte == '\r';
  });
}

}  // namespace

const std::string* ControlCommand::Find(std::string_view key) const {
  for (const auto& [name, value] : parameters) {
    if (name == key) return &value;
  }
  return nullptr;
}

ControlCommand ParseCommandLine(std::string_view line) {
  line = Trim(line);
  if (line.empty() || !IsText(line)) return SyntaxError();
  ControlCommand command;
  const std::size_t colon = line.find(':');
  command.name = Lower(Trim(line.substr(0, colon)));
  if (command.name.empty()) return SyntaxError();
  if (colon == std::string_view::npos) return command;
  std::string_view rest = Trim(line.substr(colon + 1));
  while (!rest.empty()) {
    const std::size_t key_end = rest.find(':');
    if (key_end == std::string_view::npos) return SyntaxError();
    std::string key = Lower(Trim(rest.substr(0, key_end)));
    if (key.empty()) return SyntaxError();
    const std::string_view tail = rest.substr(key_end + 1);
    const std::size_t next = NextParameter(tail);
    command.parameters.emplace_back(std::move(key), std::string(Trim(tail.substr(0, next))));
    rest = next == std::string_view::npos ? std::string_view() : Trim(tail.substr(next));
  }
  return command;
}

std::vector<ControlCommand> CControlParser::Feed(std::string_view bytes) {
  std::vector<ControlCommand> out;
  for (const char c : bytes) {
    if (c == '\n') {
      EndLine(&out);
    } else if (line_.size() <= kMaxCommandBytes) {
      // One byte past the limit marks the line as too long; the rest of it is not kept.
      line_.push_back(c);
    }
  }
  return out;
}

void CControlParser::Abandon() {
  line_.clear();
  in_block_ = false;
  skipping_ = false;
  block_ = ControlCommand();
  block_bytes_ = 0;
}

void CControlParser::EndLine(std::vector<ControlCommand>* out) {
  const bool too_long = line_.size() > kMaxCommandBytes;
  std::string_view line = too_long ? std::string_view(line_) : Trim(line_);
  if (in_block_) {
    if (line.empty()) {
      out->push_back(skipping_ ? SyntaxError() : std::move(block_));
      Abandon();
      return;
    }
    block_bytes_ += line_.size() + 1;
    if (too_long || block_bytes_ > kMaxCommandBytes) skipping_ = true;
    if (!skipping_) AddBlockLine(line);
    line_.clear();
    return;
  }
  if (too_long) {
    out->push_back(SyntaxError());
  } else if (!line.empty()) {
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && colon + 1 == line.size() && IsText(line)) {
      // "name:" alone opens a block; its parameters follow one a line up to an empty line.
      in_block_ = true;
      block_ = ControlCommand();
      block_.name = Lower(Trim(line.substr(0, colon)));
      block_bytes_ = line_.size() + 1;
      if (block_.name.empty()) skipping_ = true;
    } else {
      out->push_back(ParseCommandLine(line));
    }
  }
  line_.clear();
}

void CControlParser::AddBlockLine(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || !IsText(line)) {
    skipping_ = true;
    return;
  }
  std::string key = Lower(Trim(line.substr(0, colon)));
  if (key.empty()) {
    skipping_ = true;
    return;
  }
  block_.parameters.emplace_back(std::move(key), std::string(Trim(line.substr(colon + 1))));
}

}  // namespace vxr
