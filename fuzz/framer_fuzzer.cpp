// The framer against a plain model of the framing rules, with exact times. The input is a
// series of events, each led by one byte:
//   00nnnnnn  n+1 bytes follow, read together after a pause (the next byte, in 0.5 ms units)
//   01dddddd  the line is seen quiet at the deadline, shifted by (d - 32) x 0.25 ms
//   10dddddd  the line is seen quiet d x 2 ms after the last byte
//   11xxxxxx  a read fails
// Every frame the framer completes, every frame it drops and every deadline it names must be
// the model's; no byte may be lost or taken twice.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "protocol/frame.h"
#include "protocol/framer.h"

namespace {

using vxr::CFramer;
using Bytes = std::vector<std::uint8_t>;
using Time = CFramer::Time;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr std::uint8_t kKindMask = 0xC0;
constexpr std::uint8_t kFeed = 0x00;
constexpr std::uint8_t kQuietAtDeadline = 0x40;
constexpr std::uint8_t kQuietAfterLast = 0x80;
constexpr std::uint8_t kArgumentMask = 0x3F;
constexpr int kQuietShiftOrigin = 32;

// The rules as plainly as they can be said: a frame is as long as its first byte says; once a
// byte is in, quiet of 10 ms (100 ms right after a complete head) loses what is held.
class Model {
 public:
  // The frame the byte completes, if any.
  std::optional<Bytes> Feed(std::uint8_t byte, Time at) {
    held_.push_back(byte);
    last_ = at;
    if (held_.size() == static_cast<std::size_t>(vxr::FrameLength(held_[0]))) {
      Bytes frame;
      frame.swap(held_);
      return frame;
    }
    return std::nullopt;
  }
  std::optional<Time> Deadline() const {
    if (held_.empty()) return std::nullopt;
    return last_ + (held_.size() == 3 ? milliseconds(100) : milliseconds(10));
  }
  bool Quiet(Time now) {
    const auto deadline = Deadline();
    if (!deadline || now < *deadline) return false;
    held_.clear();
    return true;
  }
  bool Fail() {
    const bool dropped = !held_.empty();
    held_.clear();
    return dropped;
  }
  std::size_t Held() const { return held_.size(); }
  // What completes the head, or else the frame.
  int Wanted() const {
    const int held = static_cast<int>(held_.size());
    if (held < 3) return 3 - held;
    return vxr::FrameLength(held_[0]) - held;
  }

 private:
  Bytes held_;
  Time last_{};
};

[[noreturn]] void Fault(const char* what, std::size_t event) {
  std::fprintf(stderr, "framer: %s at event %zu\n", what, event);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CFramer framer;
  Model model;
  Time now{};
  Time last_byte{};
  long drops = 0;
  std::size_t at = 0;
  for (std::size_t event = 0; at < size; ++event) {
    const std::uint8_t lead = data[at++];
    const int argument = lead & kArgumentMask;
    switch (lead & kKindMask) {
      case kFeed: {
        if (at >= size) return 0;
        now += microseconds(500) * data[at++];
        const std::size_t count = std::min<std::size_t>(argument + 1, size - at);
        for (std::size_t i = 0; i < count; ++i) {
          const std::uint8_t byte = data[at++];
          const bool complete = framer.Feed(byte, now);
          const std::optional<Bytes> want = model.Feed(byte, now);
          if (complete != want.has_value())
            Fault("frame completed when the model's was not", event);
          if (complete) {
            const Bytes got(framer.Frame(), framer.Frame() + framer.FrameSize());
            if (got != *want) Fault("frame differs from the bytes sent", event);
            if (framer.LastByteTime() != now) Fault("wrong time of the last byte", event);
          }
        }
        last_byte = now;
        break;
      }
      case kQuietAtDeadline:
      case kQuietAfterLast: {
        Time quiet = last_byte + milliseconds(2) * argument;
        if ((lead & kKindMask) == kQuietAtDeadline) {
          const auto deadline = model.Deadline();
          quiet = (deadline ? *deadline : now) + microseconds(250) * (argument - kQuietShiftOrigin);
        }
        // The receiver's clock never runs backwards.
        if (quiet < now) quiet = now;
        now = quiet;
        const bool dropped = framer.Quiet(now);
        if (dropped != model.Quiet(now)) Fault("quiet judged unlike the model", event);
        drops += dropped ? 1 : 0;
        break;
      }
      default: {
        framer.Reset();
        drops += model.Fail() ? 1 : 0;
        break;
      }
    }
    if (framer.Deadline() != model.Deadline()) Fault("deadline differs from the model's", event);
    if ((framer.state() == CFramer::State::kIdle) != (model.Held() == 0)) {
      Fault("idle while holding bytes, or the reverse", event);
    }
    if (framer.Wanted() != model.Wanted()) Fault("wants a different number of bytes", event);
    if (framer.DroppedFrames() != drops) Fault("dropped count differs", event);
  }
  return 0;
}
