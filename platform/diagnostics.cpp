#include "platform/diagnostics.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/thread_name.h"

namespace vxr {
namespace {

// How long the end of the process waits for the lines still queued: enough for any stderr that
// takes lines at all, and a stalled one does not hold the exit for long.
constexpr int kExitFlushMs = 2000;

// Writes all of text to standard error; gives up on an error (a closed pipe gives EPIPE, as
// SIGPIPE is ignored by the deck) rather than retrying what will not go.
void WriteToStderr(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// The lines for standard error and the thread that writes them. Made on first use and never
// destroyed: at the end of the process the thread may still sit in a write that never returns.
class CStderrWriter {
 public:
  static CStderrWriter& Instance() {
    static CStderrWriter* const writer = [] {
      auto* made = new CStderrWriter;
      std::atexit([] { Instance().Flush(kExitFlushMs); });
      return made;
    }();
    return *writer;
  }

  void Post(std::string line) {
    {
      std::lock_guard lock(mutex_);
      if (queue_.size() >= static_cast<std::size_t>(kMaxQueuedDiagnosticLines)) {
        ++dropped_;
        return;
      }
      queue_.push_back(std::move(line));
      ++posted_;
    }
    wake_.notify_one();
  }

  bool Flush(int timeout_ms) {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = posted_;
    return done_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return written_ >= target; });
  }

 private:
  CStderrWriter() {
    std::thread([this] { Run(); }).detach();
  }

  void Run() {
    SetCurrentThreadName("diagnostics");
    // Made by whichever thread reported first, perhaps a real-time one: this one never is.
    sched_param normal{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return !queue_.empty() || dropped_ > 0; });
      std::deque<std::string> lines;
      lines.swap(queue_);
      const std::uint64_t dropped = std::exchange(dropped_, 0);
      lock.unlock();
      for (const std::string& line : lines) WriteToStderr(line);
      if (dropped > 0) WriteToStderr(DroppedText(dropped));
      lock.lock();
      written_ += lines.size();
      done_.notify_all();
    }
  }

  static std::string DroppedText(std::uint64_t dropped) {
    char text[120];
    std::snprintf(text, sizeof text,
                  "diagnostics: %llu lines dropped while standard error took nothing\n",
                  static_cast<unsigned long long>(dropped));
    return text;
  }

  std::mutex mutex_;              // guards queue_, dropped_, posted_ and written_
  std::condition_variable wake_;  // lines or a count of dropped ones to write
  std::condition_variable done_;  // written_ went up
  std::deque<std::string> queue_;
  std::uint64_t dropped_ = 0;  // since the last summary
  std::uint64_t posted_ = 0;   // lines queued, ever
  std::uint64_t written_ = 0;  // of those, lines written (or failed to be)
};

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

// Guarded by SinkMutex(); reports come from every thread of the deck.
DiagnosticSink& Sink() {
  static DiagnosticSink sink;
  return sink;
}

// Guarded by SinkMutex().
DiagnosticSink& Tap() {
  static DiagnosticSink tap;
  return tap;
}

}  // namespace

void DebugOutput(std::string_view tag, std::string_view text) {
  std::lock_guard lock(SinkMutex());
  if (Tap()) Tap()(tag, text);
  if (Sink()) {
    Sink()(tag, text);
    return;
  }
  std::string line(text);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  CStderrWriter::Instance().Post(std::move(line));
}

DiagnosticSink SetDiagnosticSink(DiagnosticSink sink) {
  std::lock_guard lock(SinkMutex());
  return std::exchange(Sink(), std::move(sink));
}

DiagnosticSink SetDiagnosticTap(DiagnosticSink tap) {
  std::lock_guard lock(SinkMutex());
  return std::exchange(Tap(), std::move(tap));
}

bool FlushDiagnostics(int timeout_ms) { return CStderrWriter::Instance().Flush(timeout_ms); }

}  // namespace vxr
