#include "testing/control_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace vxr::testing {
namespace {

constexpr std::size_t kReadChunk = 4096;
constexpr std::string_view kLineEnd = "\r\n";

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

CControlClient::~CControlClient() { Close(); }

bool CControlClient::Connect(int port, const std::string& address_text) {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, address_text.c_str(), &address.sin_addr) != 1 ||
      ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Close();
    return false;
  }
  const int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return true;
}

void CControlClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffer_.clear();
}

bool CControlClient::Send(const std::string& text) {
  std::size_t sent = 0;
  while (fd_ >= 0 && sent < text.size()) {
    const ssize_t n = ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return fd_ >= 0;
}

std::size_t CControlClient::ReplyLength() const {
  const std::size_t first_end = buffer_.find(kLineEnd);
  if (first_end == std::string::npos) return 0;
  // A reply whose first line ends with a colon is a block up to its empty line.
  if (first_end == 0 || buffer_[first_end - 1] != ':') return first_end + kLineEnd.size();
  const std::size_t blank = buffer_.find("\r\n\r\n", first_end);
  return blank == std::string::npos ? 0 : blank + 2 * kLineEnd.size();
}

std::string CControlClient::ReadReply(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (fd_ >= 0) {
    if (const std::size_t length = ReplyLength(); length > 0) {
      std::string reply = buffer_.substr(0, length);
      buffer_.erase(0, length);
      return reply;
    }
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, RemainingMs(deadline)) <= 0) return std::string();
    char chunk[kReadChunk];
    const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return std::string();
    buffer_.append(chunk, static_cast<std::size_t>(got));
  }
  return std::string();
}

std::string CControlClient::Command(const std::string& text, int timeout_ms) {
  if (!Send(text)) return std::string();
  return ReadReply(timeout_ms);
}

bool CControlClient::WaitClosed(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (fd_ >= 0) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, RemainingMs(deadline)) <= 0) return false;
    char chunk[kReadChunk];
    const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return true;
    buffer_.append(chunk, static_cast<std::size_t>(got));
  }
  return true;
}

}  // namespace vxr::testing
