#include "web/web_server.h"

#include <array>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "platform/thread_name.h"
#include "web/web_access.h"
#include "web/web_json.h"
#include "web/web_page.h"

namespace vxr {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

constexpr std::size_t kReadChunk = 4096;
constexpr int kListenBacklog = 64;
constexpr std::size_t kSessionIdBytes = 32;
constexpr const char* kSessionCookie = "vxr_session";
constexpr const char* kJson = "application/json";
constexpr std::string_view kBearer = "Bearer ";
constexpr std::size_t kCloseReadBytes = 256;
constexpr int kOkStatus = 200;
constexpr const char* kThumbnailSequenceField = "X-Thumbnail-Sequence";
constexpr const char* kThumbnailTimecodeField = "X-Thumbnail-Timecode";

std::string RandomHex(std::size_t bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::random_device device;
  std::string text;
  for (std::size_t i = 0; i < bytes; ++i) {
    const unsigned value = device() & 0xFFu;
    text.push_back(kDigits[value >> 4]);
    text.push_back(kDigits[value & 0xFu]);
  }
  return text;
}

// The bounds of the transport commands' histogram, in seconds: an output frame is 40 ms at 25
// pictures a second, 33.4 ms at 29.97.
constexpr std::array<double, 10> kTransportBounds = {0.001,  0.002, 0.005, 0.01, 0.02,
                                                     0.0334, 0.04,  0.1,   0.25, 1.0};

bool IsTransport(WebAction::Kind kind) {
  using Kind = WebAction::Kind;
  return kind != Kind::kLoad && kind != Kind::kEject && kind != Kind::kSetRemote;
}

// Where the deck's results come back: shared with the callbacks handed to the deck, which may
// outlive the server.
struct Gate {
  std::mutex mutex;                // guards ioc
  net::io_context* ioc = nullptr;  // null once the server has stopped
};

}  // namespace

// A connection the server can close when it stops.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual void Close() = 0;
};

class Session;
class EventStream;

struct CWebServer::Server {
  Server(IWebDeck& d, WebServerOptions o, Log l)
      : deck(d), options(std::move(o)), log(std::move(l)) {}

  void Accept();
  void Poll(bool scheduled);
  void SchedulePoll();
  void SchedulePing();
  void Shutdown();
  void Broadcast(const std::string& kind, const std::string& event);
  void Refused(const std::string& why, const Request& request, const std::string& peer) {
    log("web: " + std::string(request.method_string()) + " " + std::string(request.target()) +
        " from " + peer + " refused: " + why);
  }
  // The login's id for a new browser session.
  std::string NewLogin() {
    std::string id = RandomHex(kSessionIdBytes);
    logins.push_back(id);
    while (logins.size() > options.max_logins) logins.pop_front();
    return id;
  }
  bool KnownLogin(std::string_view id) const {
    bool known = false;
    for (const std::string& login : logins) known |= SameToken(id, login);
    return known;
  }

  // The io_context first: the rest goes before it.
  net::io_context ioc{1};
  IWebDeck& deck;
  const WebServerOptions options;
  const Log log;
  tcp::acceptor acceptor{ioc};
  net::steady_timer poll_timer{ioc};
  net::steady_timer ping_timer{ioc};
  std::thread thread;
  std::shared_ptr<Gate> gate = std::make_shared<Gate>();
  int port = 0;  // set before the thread starts
  bool started = false;

  // The server thread's own state.
  std::set<Connection*> open;
  std::set<std::shared_ptr<Session>> waiting;  // sessions waiting for the deck's result
  std::vector<std::weak_ptr<EventStream>> streams;
  std::string last_key;        // the last state sent, without the outputs' figures
  std::string last_log;        // the last log lines sent
  std::string last_thumbnail;  // the last thumbnail news sent
  std::chrono::steady_clock::time_point last_thumbnail_sent;
  std::chrono::steady_clock::time_point last_sent;
  std::deque<std::string> logins;
  bool stopping = false;
  // The transport commands the deck carried out: how many took at most each bound, all of them,
  // and their total time.
  std::array<std::int64_t, kTransportBounds.size()> transport_at_most{};
  std::int64_t transport_count = 0;
  std::chrono::steady_clock::duration transport_total{};

  void CountTransport(std::chrono::steady_clock::duration taken) {
    const double seconds = std::chrono::duration<double>(taken).count();
    for (std::size_t i = 0; i < kTransportBounds.size(); ++i) {
      if (seconds <= kTransportBounds[i]) ++transport_at_most[i];
    }
    ++transport_count;
    transport_total += taken;
  }
  WebMetrics Metrics() {
    WebMetrics metrics = deck.Metrics();
    metrics.transport_buckets.clear();
    for (std::size_t i = 0; i < kTransportBounds.size(); ++i) {
      metrics.transport_buckets.push_back({kTransportBounds[i], transport_at_most[i]});
    }
    metrics.transport_count = transport_count;
    metrics.transport_sum_seconds = std::chrono::duration<double>(transport_total).count();
    return metrics;
  }
};

namespace {

// Ends a connection both ways; its pending reads and writes end with an error.
void CloseStream(beast::tcp_stream& stream) {
  beast::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
  stream.close();
}

std::string StateEvent(const WebDeckState& state) {
  return "event: state\ndata: " + StateJson(state) + "\n\n";
}

std::string ThumbnailEvent(const std::string& json) {
  return "event: thumbnail\ndata: " + json + "\n\n";
}

}  // namespace

// A live event stream (Server-Sent Events): the deck's state whenever it changes, and a ping.
// A client that does not read keeps only the newest state waiting.
class EventStream : public Connection, public std::enable_shared_from_this<EventStream> {
 public:
  EventStream(CWebServer::Server& server, beast::tcp_stream stream)
      : server_(server), stream_(std::move(stream)) {
    server_.open.insert(this);
  }
  ~EventStream() override { server_.open.erase(this); }

  void Start(std::string first) {
    WatchClose();
    Post("start", std::move(first));
  }

  // Sends an event of a kind ("state", "log", "ping"); while a write is in flight only the
  // newest event of each kind waits.
  void Post(const std::string& kind, std::string text) {
    if (closed_) return;
    pending_[kind] = std::move(text);
    if (!writing_) WriteNext();
  }

  void Close() override {
    if (closed_) return;
    closed_ = true;
    CloseStream(stream_);
  }

 private:
  void WriteNext() {
    if (pending_.empty()) return;
    in_flight_.clear();
    // The start (the header) first, then the others.
    if (auto start = pending_.find("start"); start != pending_.end()) {
      in_flight_ = std::move(start->second);
      pending_.erase(start);
    }
    for (auto& [kind, text] : pending_) in_flight_ += text;
    pending_.clear();
    writing_ = true;
    stream_.expires_after(server_.options.request_timeout);
    net::async_write(stream_, net::buffer(in_flight_),
                     [self = shared_from_this()](beast::error_code error, std::size_t) {
                       self->writing_ = false;
                       if (error) {
                         self->Close();
                         return;
                       }
                       self->WriteNext();
                     });
  }

  // The client sends nothing more: a read ends when it goes away.
  void WatchClose() {
    stream_.socket().async_read_some(
        net::buffer(discard_), [self = shared_from_this()](beast::error_code error, std::size_t) {
          if (error) {
            self->Close();
            return;
          }
          self->WatchClose();
        });
  }

  CWebServer::Server& server_;
  beast::tcp_stream stream_;
  std::string in_flight_;
  std::map<std::string, std::string> pending_;
  std::array<char, kCloseReadBytes> discard_{};
  bool writing_ = false;
  bool closed_ = false;
};

// One HTTP connection: requests read one at a time, each within the limits, answered in order.
class Session : public Connection, public std::enable_shared_from_this<Session> {
 public:
  Session(CWebServer::Server& server, tcp::socket socket)
      : server_(server), stream_(std::move(socket)) {
    beast::error_code error;
    const tcp::endpoint peer = stream_.socket().remote_endpoint(error);
    peer_ = error ? std::string("?") : peer.address().to_string();
    server_.open.insert(this);
  }
  ~Session() override { server_.open.erase(this); }

  void Start() { WaitForRequest(server_.options.request_timeout); }

  void Close() override {
    if (closed_) return;
    closed_ = true;
    CloseStream(stream_);
  }

  void Finish(const WebResult& result) {
    server_.waiting.erase(shared_from_this());
    if (closed_) return;
    Reply(static_cast<http::status>(result.status), ResultJson(result), kJson);
    server_.Poll(false);
  }

 private:
  // Nothing is read for the idle time (a new connection: the request time); then the request
  // must come whole within the request time.
  void WaitForRequest(std::chrono::milliseconds timeout) {
    if (closed_) return;
    if (buffer_.size() > 0) {
      ReadRequest();
      return;
    }
    stream_.expires_after(timeout);
    stream_.async_read_some(buffer_.prepare(kReadChunk),
                            [self = shared_from_this()](beast::error_code error, std::size_t n) {
                              if (error) {
                                self->Close();
                                return;
                              }
                              self->buffer_.commit(n);
                              self->ReadRequest();
                            });
  }

  void ReadRequest() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_.options.header_limit));
    parser_->body_limit(server_.options.body_limit);
    stream_.expires_after(server_.options.request_timeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, std::size_t) {
                       self->OnRequest(error);
                     });
  }

  void OnRequest(beast::error_code error) {
    if (error == http::error::header_limit) {
      keep_alive_ = false;
      Reply(http::status::request_header_fields_too_large, ErrorJson("headers too large"), kJson);
      return;
    }
    if (error == http::error::body_limit) {
      keep_alive_ = false;
      Reply(http::status::payload_too_large, ErrorJson("body too large"), kJson);
      return;
    }
    if (error == beast::error::timeout || error == http::error::end_of_stream ||
        error == net::error::eof || error == net::error::operation_aborted ||
        error == net::error::connection_reset) {
      Close();
      return;
    }
    if (error) {
      keep_alive_ = false;
      Reply(http::status::bad_request, ErrorJson("malformed request"), kJson);
      return;
    }
    request_ = parser_->release();
    keep_alive_ = request_.keep_alive();
    Handle();
  }

  bool Authorized(std::string* why) const {
    if (server_.options.token.empty()) return true;
    const auto authorization = request_.find(http::field::authorization);
    if (authorization != request_.end()) {
      const std::string_view value = authorization->value();
      if (value.substr(0, kBearer.size()) == kBearer &&
          SameToken(value.substr(kBearer.size()), server_.options.token)) {
        return true;
      }
      *why = "wrong token";
      return false;
    }
    const auto cookie = request_.find(http::field::cookie);
    if (cookie != request_.end()) {
      const std::string id = CookieValue(cookie->value(), kSessionCookie);
      if (!id.empty()) {
        if (server_.KnownLogin(id)) return true;
        *why = "unknown login";
        return false;
      }
    }
    *why = "no token";
    return false;
  }

  bool FromOwnPage() const {
    return SameOrigin(request_[http::field::origin], request_["Sec-Fetch-Site"],
                      request_[http::field::host]);
  }

  void Handle() {
    const std::string_view target = request_.target();
    const std::string_view path = target.substr(0, target.find('?'));
    const bool get = request_.method() == http::verb::get;
    const bool post = request_.method() == http::verb::post;
    if (!HostAllowed(request_[http::field::host], server_.options.host_names)) {
      server_.Refused("unknown host name " + std::string(request_[http::field::host]), request_,
                      peer_);
      keep_alive_ = false;
      Reply(http::status::misdirected_request, ErrorJson("unknown host name"), kJson);
      return;
    }
    if (!get && !post) {
      Reply(http::status::method_not_allowed, ErrorJson("method not allowed"), kJson);
      return;
    }
    if (post && !FromOwnPage()) {
      server_.Refused("cross-site request from " + std::string(request_[http::field::origin]),
                      request_, peer_);
      Reply(http::status::forbidden, ErrorJson("cross-site request"), kJson);
      return;
    }
    if (const WebPageFile* file = FindWebPageFile(path); file != nullptr && get) {
      // The page itself holds nothing secret: it asks for the token when the API needs one.
      Response response =
          MakeResponse(http::status::ok, std::string(file->body), std::string(file->type).c_str());
      // The thumbnail is shown from the blob its request returned (blob: images).
      response.set("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' blob:; frame-ancestors 'none'; "
                   "form-action 'self'");
      Send(std::move(response));
      return;
    }
    if (path == "/api/login") {
      if (!post) {
        Reply(http::status::method_not_allowed, ErrorJson("method not allowed"), kJson);
        return;
      }
      Login();
      return;
    }
    std::string why;
    if (path == "/api/session" && get) {
      // Whether this client may use the API, so that the page asks for the token without a
      // refused request.
      const bool authorized = Authorized(&why);
      Reply(http::status::ok, SessionJson(!server_.options.token.empty(), authorized), kJson);
      return;
    }
    if (!Authorized(&why)) {
      server_.Refused(why, request_, peer_);
      Reply(http::status::unauthorized, ErrorJson(why), kJson, true);
      return;
    }
    if (get) {
      if (path == "/api/state") {
        Reply(http::status::ok, StateJson(server_.deck.State()), kJson);
      } else if (path == "/api/library") {
        Reply(http::status::ok, LibraryJson(server_.deck.Library()), kJson);
      } else if (path == "/api/log") {
        Reply(http::status::ok, LogJson(server_.deck.LogLines()), kJson);
      } else if (path == "/metrics") {
        Reply(http::status::ok, MetricsText(server_.Metrics()),
              "text/plain; version=0.0.4; charset=utf-8");
      } else if (path == "/api/thumbnail.jpg") {
        ReplyThumbnail();
      } else if (path == "/api/events") {
        OpenEventStream();
      } else {
        Reply(http::status::not_found, ErrorJson("not found"), kJson);
      }
      return;
    }
    WebAction action;
    std::string error;
    if (!ParseAction(path, request_.body(), server_.deck.State().rate, &action, &error)) {
      Reply(error == "unknown action" ? http::status::not_found : http::status::bad_request,
            ErrorJson(error), kJson);
      return;
    }
    Submit(action);
  }

  void Login() {
    const std::string token = LoginToken(request_.body());
    if (!server_.options.token.empty() && !SameToken(token, server_.options.token)) {
      server_.Refused(token.empty() ? "no token" : "wrong token", request_, peer_);
      Reply(http::status::unauthorized, ErrorJson("wrong token"), kJson);
      return;
    }
    Response response = MakeResponse(http::status::ok, ResultJson({200, "logged in"}), kJson);
    response.set(http::field::set_cookie, std::string(kSessionCookie) + "=" + server_.NewLogin() +
                                              "; HttpOnly; SameSite=Strict; Path=/");
    Send(std::move(response));
  }

  void Submit(const WebAction& action) {
    auto self = shared_from_this();
    server_.waiting.insert(self);
    // Nothing is read while the deck works: the request's time does not run.
    stream_.expires_never();
    std::weak_ptr<Session> weak = self;
    // The deck calls back as soon as it has acted: the time is taken there, not when this
    // thread gets to the result.
    const auto read = std::chrono::steady_clock::now();
    const bool transport = IsTransport(action.kind);
    CWebServer::Server* server = &server_;
    server_.deck.Submit(
        action, [gate = server_.gate, weak, read, transport, server](WebResult result) {
          const auto acted = std::chrono::steady_clock::now();
          std::lock_guard lock(gate->mutex);
          if (gate->ioc == nullptr) return;
          // The server outlives every handler its io_context runs.
          net::post(*gate->ioc,
                    [weak, result = std::move(result), transport, server, taken = acted - read] {
                      if (transport && result.status == kOkStatus) server->CountTransport(taken);
                      if (auto session = weak.lock()) session->Finish(result);
                    });
        });
  }

  // The newest program thumbnail; before the first one, why there is none.
  void ReplyThumbnail() {
    const WebThumbnail thumbnail = server_.deck.Thumbnail();
    if (!thumbnail.made) {
      Reply(http::status::not_found, ErrorJson("the deck makes no program picture"), kJson);
    } else if (thumbnail.sequence == 0 || !thumbnail.jpeg) {
      Reply(http::status::service_unavailable, ErrorJson("no program picture yet"), kJson);
    } else {
      // The picture's own sequence and timecode travel with it, so that a page names the
      // picture it shows even when a newer one came between its news and this request.
      Response response = MakeResponse(http::status::ok, *thumbnail.jpeg, "image/jpeg");
      response.set(kThumbnailSequenceField, std::to_string(thumbnail.sequence));
      response.set(kThumbnailTimecodeField, thumbnail.timecode);
      Send(std::move(response));
    }
  }

  void OpenEventStream() {
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\nConnection: keep-alive\r\n\r\n";
    closed_ = true;  // the stream takes the connection over
    auto stream = std::make_shared<EventStream>(server_, std::move(stream_));
    server_.streams.push_back(stream);
    stream->Start(head + StateEvent(server_.deck.State()) +
                  "event: log\ndata: " + LogJson(server_.deck.LogLines()) + "\n\n" +
                  ThumbnailEvent(ThumbnailJson(server_.deck.Thumbnail())));
  }

  Response MakeResponse(http::status status, std::string body, const char* type) const {
    Response response(status, request_.version() == 0 ? 11 : request_.version());
    response.set(http::field::server, "vxrdeck");
    response.set(http::field::content_type, type);
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.set("X-Frame-Options", "DENY");
    response.keep_alive(keep_alive_);
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
  }

  void Reply(http::status status, std::string body, const char* type, bool challenge = false) {
    Response response = MakeResponse(status, std::move(body), type);
    if (challenge) response.set(http::field::www_authenticate, "Bearer realm=\"vxrdeck\"");
    Send(std::move(response));
  }

  void Send(Response response) {
    response_ = std::make_shared<Response>(std::move(response));
    stream_.expires_after(server_.options.request_timeout);
    http::async_write(stream_, *response_,
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                        self->response_.reset();
                        if (error || !self->keep_alive_) {
                          self->Close();
                          return;
                        }
                        self->WaitForRequest(self->server_.options.idle_timeout);
                      });
  }

  CWebServer::Server& server_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  Request request_;
  std::shared_ptr<Response> response_;
  std::string peer_;
  bool keep_alive_ = true;
  bool closed_ = false;
};

void CWebServer::Server::Accept() {
  acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
    if (stopping) return;
    if (!error) {
      if (open.size() >= options.max_connections) {
        beast::error_code ignored;
        socket.close(ignored);
      } else {
        std::make_shared<Session>(*this, std::move(socket))->Start();
      }
    }
    Accept();
  });
}

void CWebServer::Server::Broadcast(const std::string& kind, const std::string& event) {
  std::vector<std::weak_ptr<EventStream>> alive;
  for (const auto& weak : streams) {
    if (auto stream = weak.lock()) {
      stream->Post(kind, event);
      alive.push_back(weak);
    }
  }
  streams = std::move(alive);
}

void CWebServer::Server::Poll(bool scheduled) {
  if (stopping) return;
  if (!streams.empty()) {
    WebDeckState state = deck.State();
    std::vector<WebOutputFigures> outputs = std::move(state.outputs);
    state.outputs.clear();
    std::string key = StateJson(state);
    const auto now = std::chrono::steady_clock::now();
    const bool figures_due = !outputs.empty() && now - last_sent >= options.figures_interval;
    if (key != last_key || figures_due) {
      state.outputs = std::move(outputs);
      last_key = std::move(key);
      last_sent = now;
      Broadcast("state", StateEvent(state));
    }
    std::string log = LogJson(deck.LogLines());
    if (log != last_log) {
      last_log = std::move(log);
      Broadcast("log", "event: log\ndata: " + last_log + "\n\n");
    }
    // The thumbnail and the meters change at most this often: the page reloads the picture
    // only when its sequence moved.
    if (now - last_thumbnail_sent >= options.thumbnail_interval) {
      std::string thumbnail = ThumbnailJson(deck.Thumbnail());
      if (thumbnail != last_thumbnail) {
        last_thumbnail = std::move(thumbnail);
        last_thumbnail_sent = now;
        Broadcast("thumbnail", ThumbnailEvent(last_thumbnail));
      }
    }
  }
  if (scheduled) SchedulePoll();
}

void CWebServer::Server::SchedulePoll() {
  poll_timer.expires_after(options.state_poll);
  poll_timer.async_wait([this](beast::error_code error) {
    if (!error) Poll(true);
  });
}

void CWebServer::Server::SchedulePing() {
  ping_timer.expires_after(options.ping_interval);
  ping_timer.async_wait([this](beast::error_code error) {
    if (error || stopping) return;
    Broadcast("ping", ": ping\n\n");
    SchedulePing();
  });
}

void CWebServer::Server::Shutdown() {
  stopping = true;
  beast::error_code ignored;
  acceptor.close(ignored);
  poll_timer.cancel();
  ping_timer.cancel();
  waiting.clear();
  // Closing ends every pending read and write; their handlers let the connections go.
  for (Connection* connection : std::vector<Connection*>(open.begin(), open.end())) {
    connection->Close();
  }
}

CWebServer::CWebServer(IWebDeck& deck, WebServerOptions options, Log log)
    : server_(std::make_unique<Server>(deck, std::move(options), std::move(log))) {}

CWebServer::~CWebServer() { Stop(); }

int CWebServer::Port() const { return server_->port; }

bool CWebServer::Start(std::string* error) {
  beast::error_code code;
  const net::ip::address address = net::ip::make_address_v4(server_->options.address, code);
  if (code) {
    *error = "not an IPv4 address: " + server_->options.address;
    return false;
  }
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(server_->options.port));
  tcp::acceptor& acceptor = server_->acceptor;
  acceptor.open(endpoint.protocol(), code);
  if (!code) acceptor.set_option(net::socket_base::reuse_address(true), code);
  if (!code) acceptor.bind(endpoint, code);
  if (!code) acceptor.listen(kListenBacklog, code);
  if (code) {
    *error = "cannot listen on " + server_->options.address + ":" +
             std::to_string(server_->options.port) + ": " + code.message();
    acceptor.close(code);
    return false;
  }
  server_->port = acceptor.local_endpoint(code).port();
  {
    std::lock_guard lock(server_->gate->mutex);
    server_->gate->ioc = &server_->ioc;
  }
  server_->Accept();
  server_->SchedulePoll();
  server_->SchedulePing();
  server_->started = true;
  server_->thread = std::thread([server = server_.get()] {
    SetCurrentThreadName(kThreadName);
    server->ioc.run();
  });
  return true;
}

void CWebServer::Stop() {
  if (!server_->started) return;
  server_->started = false;
  {
    std::lock_guard lock(server_->gate->mutex);
    server_->gate->ioc = nullptr;
  }
  net::post(server_->ioc, [server = server_.get()] { server->Shutdown(); });
  server_->thread.join();
}

void CWebServer::Wake() {
  if (!server_->started) return;
  net::post(server_->ioc, [server = server_.get()] { server->Poll(false); });
}

}  // namespace vxr
