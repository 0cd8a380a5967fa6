#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vxr::testing {

using HttpFields = std::vector<std::pair<std::string, std::string>>;

struct HttpReply {
  int status = 0;  // 0: no answer (refused, closed, malformed)
  std::string body;
  std::string set_cookie;
  std::string content_type;
  std::string cache_control;
  HttpFields fields;  // every header field of the answer, as sent

  // The value of the field of that name (in any letter case); empty when it was not sent.
  std::string Field(const std::string& name) const;
};

// One request ("GET", "POST", ...) to 127.0.0.1:port on a connection of its own, as a client
// sends it (Host 127.0.0.1:port unless fields give another), and its answer.
HttpReply HttpRequest(int port, const std::string& method, const std::string& target,
                      const std::string& body = std::string(), const HttpFields& fields = {});

// The web server's event stream read as a page reads it.
class EventStreamClient {
 public:
  EventStreamClient();
  ~EventStreamClient();
  EventStreamClient(const EventStreamClient&) = delete;
  EventStreamClient& operator=(const EventStreamClient&) = delete;

  // Connects and asks for /api/events with these header fields; false when it cannot connect.
  bool Open(int port, const HttpFields& fields);
  // Reads until text has come since the last Clear; false when the stream ends first.
  bool ReadUntil(const std::string& text);
  void Clear() { received_.clear(); }
  const std::string& Received() const { return received_; }

 private:
  struct Socket;
  std::unique_ptr<Socket> socket_;
  std::string received_;
};

}  // namespace vxr::testing
