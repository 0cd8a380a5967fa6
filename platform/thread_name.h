#pragma once

namespace vxr {

// Names the calling thread for top -H, perf and debuggers. Linux keeps at most 15 characters;
// a longer name is cut there. Best effort: a refusal changes nothing else.
void SetCurrentThreadName(const char* name);

}  // namespace vxr
