#include "testing/media/rist_receiver.h"

#include <atomic>
#include <cstdint>

extern "C" {
#include <libavformat/avio.h>
}

namespace vxr {
namespace {

// The most a read takes at once: more than one message of any size the protocol sends.
constexpr int kReadBytes = 64 * 1024;

std::int64_t NowNs() {
  return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
}

// Ends the read once nothing came for the idle time, or at the deadline.
struct ReadLimit {
  std::atomic<std::int64_t> last_ns{0};
  std::int64_t idle_ns = 0;
  std::int64_t deadline_ns = 0;
  const std::atomic<bool>* sent_all = nullptr;  // when given, idle counts only once it is set
};

int ReadEnded(void* opaque) {
  const auto* limit = static_cast<const ReadLimit*>(opaque);
  const std::int64_t now = NowNs();
  const std::int64_t last = limit->last_ns.load();
  const bool may_end = limit->sent_all == nullptr || limit->sent_all->load();
  return static_cast<int>(now > limit->deadline_ns ||
                          (may_end && last > 0 && now - last > limit->idle_ns));
}

}  // namespace

std::vector<TsDatagram> ReceiveRist(const std::string& url, std::chrono::milliseconds idle,
                                    std::chrono::milliseconds deadline,
                                    std::promise<void>* listening,
                                    const std::atomic<bool>* sent_all) {
  ReadLimit limit;
  limit.sent_all = sent_all;
  limit.idle_ns = idle / std::chrono::nanoseconds(1);
  limit.deadline_ns = NowNs() + deadline / std::chrono::nanoseconds(1);
  const AVIOInterruptCB interrupt{&ReadEnded, &limit};
  std::vector<TsDatagram> messages;
  AVIOContext* io = nullptr;
  const int code = avio_open2(&io, url.c_str(), AVIO_FLAG_READ, &interrupt, nullptr);
  listening->set_value();
  if (code < 0) return messages;
  std::vector<std::uint8_t> buffer(kReadBytes);
  while (true) {
    const int size = avio_read_partial(io, buffer.data(), kReadBytes);
    if (size <= 0) break;
    TsDatagram message;
    message.received_ns = NowNs();
    message.bytes.assign(buffer.begin(), buffer.begin() + size);
    limit.last_ns.store(message.received_ns);
    messages.push_back(std::move(message));
  }
  avio_closep(&io);
  return messages;
}

}  // namespace vxr
