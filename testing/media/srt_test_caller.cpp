#include "testing/media/srt_test_caller.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <srt/srt.h>

#include <chrono>

#include "platform/thread_name.h"

namespace vxr {
namespace {

constexpr int kMaxMessage = 1500;
// How long one wait for data lasts, so that a stop is seen.
constexpr int kReceiveWaitMs = 100;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

CSrtTestCaller::CSrtTestCaller() { srt_startup(); }

CSrtTestCaller::~CSrtTestCaller() {
  Close();
  srt_cleanup();
}

bool CSrtTestCaller::Connect(int port, const Options& options, std::string* error,
                             int* reject_reason) {
  socket_ = srt_create_socket();
  const int live = SRTT_LIVE;
  srt_setsockflag(socket_, SRTO_TRANSTYPE, &live, sizeof live);
  if (!options.passphrase.empty()) {
    srt_setsockflag(socket_, SRTO_PASSPHRASE, options.passphrase.data(),
                    static_cast<int>(options.passphrase.size()));
  }
  if (options.receive_buffer_bytes > 0) {
    srt_setsockflag(socket_, SRTO_RCVBUF, &options.receive_buffer_bytes,
                    sizeof options.receive_buffer_bytes);
  }
  const int wait = kReceiveWaitMs;
  srt_setsockflag(socket_, SRTO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  if (srt_connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == SRT_ERROR) {
    *error = srt_getlasterror_str();
    *reject_reason = srt_getrejectreason(socket_);
    srt_close(socket_);
    socket_ = -1;
    return false;
  }
  thread_ = std::thread([this] { Receive(); });
  return true;
}

void CSrtTestCaller::StopReading() {
  std::lock_guard lock(mutex_);
  reading_ = false;
}

void CSrtTestCaller::Close() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  if (socket_ != -1) srt_close(socket_);
  socket_ = -1;
}

std::size_t CSrtTestCaller::ReceivedBytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

std::vector<TsDatagram> CSrtTestCaller::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<std::uint8_t> CSrtTestCaller::Stream() const {
  std::lock_guard lock(mutex_);
  std::vector<std::uint8_t> stream;
  for (const TsDatagram& message : messages_) {
    stream.insert(stream.end(), message.bytes.begin(), message.bytes.end());
  }
  return stream;
}

void CSrtTestCaller::Receive() {
  SetCurrentThreadName("srt test caller");
  char buffer[kMaxMessage];
  while (!stop_.load()) {
    {
      std::lock_guard lock(mutex_);
      if (!reading_) break;
    }
    const int got = srt_recvmsg(socket_, buffer, sizeof buffer);
    if (got == SRT_ERROR) {
      const int code = srt_getlasterror(nullptr);
      if (code == SRT_EASYNCRCV || code == SRT_ETIMEOUT) continue;  // nothing within the wait
      ended_.store(true);
      break;
    }
    TsDatagram message;
    message.bytes.assign(buffer, buffer + got);
    message.received_ns = NowNs();
    std::lock_guard lock(mutex_);
    bytes_ += static_cast<std::size_t>(got);
    messages_.push_back(std::move(message));
  }
}

}  // namespace vxr
