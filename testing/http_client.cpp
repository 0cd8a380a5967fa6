#include "testing/http_client.h"

#include <array>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace vxr::testing {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr int kHttpVersion = 11;
constexpr std::size_t kReadChunk = 4096;

tcp::endpoint Loopback(int port) {
  return tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(port));
}

}  // namespace

std::string HttpReply::Field(const std::string& name) const {
  for (const auto& [field, value] : fields) {
    if (beast::iequals(field, name)) return value;
  }
  return {};
}

HttpReply HttpRequest(int port, const std::string& method, const std::string& target,
                      const std::string& body, const HttpFields& fields) {
  net::io_context ioc;
  beast::tcp_stream stream(ioc);
  beast::error_code error;
  stream.connect(Loopback(port), error);
  if (error) return {};
  http::request<http::string_body> request(http::string_to_verb(method), target, kHttpVersion);
  request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  for (const auto& [name, value] : fields) request.set(name, value);
  request.body() = body;
  request.prepare_payload();
  http::write(stream, request, error);
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response, error);
  if (error) return {};
  HttpReply reply{static_cast<int>(response.result_int()),
                  response.body(),
                  std::string(response[http::field::set_cookie]),
                  std::string(response[http::field::content_type]),
                  std::string(response[http::field::cache_control]),
                  {}};
  for (const auto& field : response) {
    reply.fields.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  return reply;
}

struct EventStreamClient::Socket {
  net::io_context ioc;
  tcp::socket socket{ioc};
};

EventStreamClient::EventStreamClient() : socket_(std::make_unique<Socket>()) {}

EventStreamClient::~EventStreamClient() = default;

bool EventStreamClient::Open(int port, const HttpFields& fields) {
  beast::error_code error;
  socket_->socket.connect(Loopback(port), error);
  if (error) return false;
  std::string request =
      "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
  for (const auto& [name, value] : fields) request += name + ": " + value + "\r\n";
  request += "\r\n";
  net::write(socket_->socket, net::buffer(request), error);
  return !error;
}

bool EventStreamClient::ReadUntil(const std::string& text) {
  std::array<char, kReadChunk> chunk{};
  while (received_.find(text) == std::string::npos) {
    beast::error_code error;
    const std::size_t n = socket_->socket.read_some(net::buffer(chunk), error);
    if (error) return false;
    received_.append(chunk.data(), n);
  }
  return true;
}

}  // namespace vxr::testing
