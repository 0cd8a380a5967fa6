#pragma once

#include <functional>
#include <string_view>

namespace vxr {

// The debugger output of the deck. By default the text goes to standard error exactly as
// formatted (the tag is not written), with a line break added when the text lacks one.
// A sink receives the tag and the text instead; tests install one to check reports word for word.
//
// Standard error is written by a thread of its own ("diagnostics"), so a caller never waits on
// it: a stderr that takes nothing (a pipe nobody reads) cannot stall the control port's replies.
// Up to kMaxQueuedDiagnosticLines wait their turn; lines beyond that are dropped and counted, and
// a line saying how many goes out once standard error takes lines again. A sink is called at
// once, on the caller's thread.
using DiagnosticSink = std::function<void(std::string_view tag, std::string_view text)>;

inline constexpr int kMaxQueuedDiagnosticLines = 256;

void DebugOutput(std::string_view tag, std::string_view text);

// Installs a sink (an empty one restores standard error) and returns the previous one.
DiagnosticSink SetDiagnosticSink(DiagnosticSink sink);

// Waits up to timeout_ms until every line given so far has gone to standard error (or failed
// to); whether they all had. The end of the process does this too, with a bound, so that the last
// lines of a run are not lost.
bool FlushDiagnostics(int timeout_ms);

// Installs a tap (an empty one removes it) that sees every line as well, whatever the sink; it
// is called at once on the caller's thread, must not wait and must not write diagnostics
// itself. Returns the previous one.
DiagnosticSink SetDiagnosticTap(DiagnosticSink tap);

}  // namespace vxr
