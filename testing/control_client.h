#pragma once

#include <string>

namespace vxr::testing {

// A client of the studio's TCP control protocol for tests and benchmarks: connects over
// loopback, sends text and reads whole replies (one line, or a block up to its empty line).
class CControlClient {
 public:
  CControlClient() = default;
  ~CControlClient();
  CControlClient(const CControlClient&) = delete;
  CControlClient& operator=(const CControlClient&) = delete;

  // Connects to address:port (IPv4, loopback by default); false when it cannot.
  bool Connect(int port, const std::string& address = "127.0.0.1");
  void Close();
  bool Connected() const { return fd_ >= 0; }
  // Sends the text as it is; false when the connection is gone.
  bool Send(const std::string& text);
  // The next whole reply with its line ends as received, or empty when none came within
  // timeout_ms or the connection ended.
  std::string ReadReply(int timeout_ms);
  // Sends a command and returns the next reply.
  std::string Command(const std::string& text, int timeout_ms);
  // Whether the server has closed the connection (waits up to timeout_ms for the end).
  bool WaitClosed(int timeout_ms);
  int Fd() const { return fd_; }

 private:
  // A whole reply at the front of buffer_: its length, or 0.
  std::size_t ReplyLength() const;

  int fd_ = -1;
  std::string buffer_;
};

}  // namespace vxr::testing
