#pragma once

#include <functional>
#include <string_view>

namespace vxr {

// The debugger output of the deck. By default the text goes to standard error exactly as
// formatted (the tag is not written), with a line break added when the text lacks one.
// A sink receives the tag and the text instead; tests install one to check reports word for word.
using DiagnosticSink = std::function<void(std::string_view tag, std::string_view text)>;

void DebugOutput(std::string_view tag, std::string_view text);

// Installs a sink (an empty one restores standard error) and returns the previous one.
DiagnosticSink SetDiagnosticSink(DiagnosticSink sink);

}  // namespace vxr
