#include "platform/diagnostics.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

namespace vxr {
namespace {

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

// Guarded by SinkMutex(); reports come from every thread of the deck.
DiagnosticSink& Sink() {
  static DiagnosticSink sink;
  return sink;
}

}  // namespace

void DebugOutput(std::string_view tag, std::string_view text) {
  std::lock_guard lock(SinkMutex());
  if (Sink()) {
    Sink()(tag, text);
    return;
  }
  std::string line(text);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

DiagnosticSink SetDiagnosticSink(DiagnosticSink sink) {
  std::lock_guard lock(SinkMutex());
  return std::exchange(Sink(), std::move(sink));
}

}  // namespace vxr
