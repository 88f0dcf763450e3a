#include "tools/host/http/http_server.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include <httplib.h>

#include "tools/common/net_address.h"
#include "tools/host/http/connection_gate.h"
#include "tools/host/secure/web_security.h"

namespace k426b_host {

namespace {

// Requests answered on one connection before it is closed.
constexpr std::size_t kKeepAliveMaxCount = 100;

HttpRequest RequestOf(const httplib::Request& request) {
  HttpRequest ours;
  for (const auto& match : request.matches) ours.matches.push_back(match.str());
  // The library keeps every value of a name in order; the first one counts.
  for (const auto& [name, value] : request.params) ours.params.emplace(name, value);
  return ours;
}

void Answer(HttpResponse ours, httplib::Response& response) {
  response.status = ours.status;
  for (auto& [name, value] : ours.headers) response.set_header(name, value);
  if (ours.stream) {
    response.set_chunked_content_provider(
        ours.content_type, [stream = std::move(ours.stream)](std::size_t, httplib::DataSink& sink) {
          return stream(
              [&sink](const std::string& piece) { return sink.write(piece.data(), piece.size()); });
        });
  } else if (!ours.content_type.empty()) {
    response.set_content(ours.body, ours.content_type);
  }
}

bool Ready(int fd, short events, int timeout_s) {
  pollfd watched{fd, events, 0};
  while (true) {
    const int ready = ::poll(&watched, 1, timeout_s * 1000);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

void AddressOf(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  const int got = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length)
                       : ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  if (got != 0) return;
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return;
  ip = host;
  port = std::atoi(service);
}

// One connection as the library reads and writes it: first the bytes the gate has read already
// (the head), then the socket, each wait bounded by the read or write timeout.
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(GateConnection& connection, const HttpServerLimits& limits,
                   const std::atomic<bool>& stopping)
      : connection_(connection), limits_(limits), stopping_(stopping) {}

  bool is_readable() const override {
    return !connection_.pending.empty() || (connection_.tls && connection_.tls->Buffered()) ||
           Ready(connection_.fd.Get(), POLLIN, limits_.read_timeout_s);
  }
  bool is_writable() const override {
    return !stopping_ && Ready(connection_.fd.Get(), POLLOUT, limits_.read_timeout_s);
  }
  ssize_t read(char* ptr, size_t size) override {
    if (!connection_.pending.empty()) {
      const std::size_t taken = std::min(size, connection_.pending.size());
      std::memcpy(ptr, connection_.pending.data(), taken);
      connection_.pending.erase(0, taken);
      return static_cast<ssize_t>(taken);
    }
    if (connection_.tls) return Secured(ptr, size, false);
    if (!Ready(connection_.fd.Get(), POLLIN, limits_.read_timeout_s)) return -1;
    return ::recv(connection_.fd.Get(), ptr, size, 0);
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (connection_.tls) return stopping_ ? -1 : Secured(const_cast<char*>(ptr), size, true);
    if (stopping_ || !Ready(connection_.fd.Get(), POLLOUT, limits_.read_timeout_s)) return -1;
    return ::send(connection_.fd.Get(), ptr, size, MSG_NOSIGNAL);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    AddressOf(connection_.fd.Get(), true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    AddressOf(connection_.fd.Get(), false, ip, port);
  }
  socket_t socket() const override { return connection_.fd.Get(); }

 private:
  // One read or write through the connection's TLS session; each wait for the socket bounded
  // by the read timeout, like a plain connection's.
  ssize_t Secured(char* ptr, std::size_t size, bool writing) {
    while (true) {
      std::size_t done = 0;
      const TlsStep step = writing ? connection_.tls->Write(ptr, size, done)
                                   : connection_.tls->Read(ptr, size, done);
      if (step == TlsStep::kDone) return static_cast<ssize_t>(done);
      if (step == TlsStep::kClosed) return 0;
      if (step == TlsStep::kFailed) return -1;
      const short wanted = step == TlsStep::kWantRead ? POLLIN : POLLOUT;
      if (stopping_ || !Ready(connection_.fd.Get(), wanted, limits_.read_timeout_s)) return -1;
    }
  }

  GateConnection& connection_;
  const HttpServerLimits& limits_;
  const std::atomic<bool>& stopping_;
};

}  // namespace

// The library's server, used for what it does well (parsing a request, routing, writing the
// response); accepting and reading heads is the gate's.
class HttpServer::Library : public httplib::Server {
 public:
  // One request from `stream`; false when the connection cannot be used again.
  bool ServeOne(httplib::Stream& stream, bool last, bool& client_closes) {
    return process_request(stream, last, client_closes, nullptr);
  }
  int ListeningSocket() const { return svr_sock_; }
  // Also ends the event streams: the library checks this socket between two pieces.
  void CloseListening() {
    const socket_t socket = svr_sock_.exchange(INVALID_SOCKET);
    if (socket == INVALID_SOCKET) return;
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
  }
};

// A fixed number of workers and a bounded wait list of connections whose head is complete.
class HttpServer::WorkerPool {
 public:
  using Work = std::function<void(std::unique_ptr<GateConnection>)>;
  WorkerPool(std::size_t workers, std::size_t queued, Work work)
      : capacity_(workers + queued), work_(std::move(work)) {
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { Run(); });
  }
  ~WorkerPool() { Shutdown(); }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Takes the connection unless every worker is busy and the wait list full.
  bool TryPost(std::unique_ptr<GateConnection>& connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || busy_ + waiting_.size() >= capacity_) return false;
    waiting_.push_back(std::move(connection));
    ready_.notify_one();
    return true;
  }
  // Lets the workers finish what they serve; what still waits is closed.
  void Shutdown() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      waiting_.clear();
    }
    ready_.notify_all();
    for (auto& thread : threads_) thread.join();
    threads_.clear();
  }

 private:
  void Run() {
    while (true) {
      std::unique_ptr<GateConnection> connection;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_) return;
        connection = std::move(waiting_.front());
        waiting_.pop_front();
        ++busy_;
      }
      work_(std::move(connection));
      std::lock_guard<std::mutex> lock(mutex_);
      --busy_;
    }
  }

  std::size_t capacity_;  // connections served or waiting
  Work work_;
  std::size_t busy_ = 0;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::unique_ptr<GateConnection>> waiting_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

std::string ParseListenAddress(const std::string& text, ListenAddress& address) {
  // The same rules as a site's tcp:// address; a bare port means the loopback address.
  const bool port_only = text.find_first_not_of("0123456789") == std::string::npos;
  const std::string full =
      port_only ? "127.0.0.1:" + text : (text.rfind(':', 0) == 0 ? "127.0.0.1" + text : text);
  NetAddress parsed;
  if (!ParseHostPort(full, parsed).empty())
    return "--listen expects ADDR:PORT, :PORT or PORT with PORT from 1 to 65535, got \"" + text +
           "\"";
  address.host = parsed.host;
  address.port = parsed.port;
  return {};
}

HttpServer::HttpServer(HttpServerLimits limits)
    : limits_(limits), server_(std::make_unique<Library>()) {
  server_->set_payload_max_length(limits_.max_payload);
  server_->set_read_timeout(limits_.read_timeout_s, 0);
  server_->set_write_timeout(limits_.read_timeout_s, 0);
  server_->set_keep_alive_timeout(limits_.keep_alive_timeout_s);
  server_->set_keep_alive_max_count(kKeepAliveMaxCount);
  // Address reuse only: the library's default also sets SO_REUSEPORT, which would let a second
  // process bind the same port and take part of the scrapes.
  server_->set_socket_options([](socket_t socket) {
    const int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  });
  // Read-only: every method but GET and HEAD is refused before routing.
  server_->set_pre_routing_handler([this](const httplib::Request& request,
                                          httplib::Response& response) {
    const WebSecurity::Access access =
        security_ ? security_->Check(*security_->Current(),
                                     request.get_header_value("Authorization"))
                  : WebSecurity::Access::kAllowed;
    if (access == WebSecurity::Access::kRefused) {
      response.status = 401;
      response.set_header("WWW-Authenticate", "Basic realm=\"k426b\", charset=\"UTF-8\"");
      response.set_content("unauthorized\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (access == WebSecurity::Access::kBusy) {
      response.status = 503;
      response.set_header("Retry-After", "1");
      response.set_content("busy: too many logins at once\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (request.method != "GET" && request.method != "HEAD") {
      response.status = 405;
      response.set_header("Allow", "GET, HEAD");
      response.set_content("read-only: GET only\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  // The web configuration's headers, on every answer (refusals too).
  server_->set_post_routing_handler([this](const httplib::Request&, httplib::Response& response) {
    if (!security_) return;
    for (const auto& [name, value] : security_->Current()->config.headers)
      response.set_header(name, value);
  });
  AddRoute("/healthz", [](const HttpRequest&, HttpResponse& response) {
    response.SetContent("ok\n", "text/plain; charset=utf-8");
  });
}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::AddRoute(const std::string& pattern, RouteHandler handler) {
  server_->Get(pattern, [handler = std::move(handler)](const httplib::Request& request,
                                                       httplib::Response& response) {
    HttpResponse ours;
    handler(RequestOf(request), ours);
    Answer(std::move(ours), response);
  });
}

std::string HttpServer::Secure(const std::string& web_config_file) {
  auto security = std::make_shared<WebSecurity>();
  if (auto problem = security->Load(web_config_file); !problem.empty()) return problem;
  security_ = std::move(security);
  return {};
}

bool HttpServer::tls() const { return security_ && security_->Current()->tls; }

std::string HttpServer::Start(const ListenAddress& address) {
  if (thread_.joinable()) return "already listening";
  if (address.port == 0) {
    port_ = server_->bind_to_any_port(address.host);
    if (port_ <= 0) return "cannot listen on " + address.host + ": no free port";
  } else {
    if (!server_->bind_to_port(address.host, address.port))
      return "cannot listen on " + address.host + ":" + std::to_string(address.port) +
             " (address in use, or not an address of this machine)";
    port_ = address.port;
  }
  // A longer backlog than the library's: a burst of clients waits there for the gate, not in
  // the retries of a refused handshake.
  ::listen(server_->ListeningSocket(), 128);
  GateLimits gate_limits;
  gate_limits.connections = limits_.connections;
  gate_limits.head_time = std::chrono::seconds(limits_.read_timeout_s);
  gate_limits.keep_alive_idle = std::chrono::seconds(limits_.keep_alive_timeout_s);
  gate_limits.head_bytes = limits_.max_head_bytes;
  gate_limits.header_lines = limits_.max_header_lines;
  stopping_ = false;
  requests_ = std::make_unique<WorkerPool>(
      limits_.workers, limits_.queued,
      [this](std::unique_ptr<GateConnection> connection) { Serve(std::move(connection), false); });
  streams_ = std::make_unique<WorkerPool>(
      limits_.stream_workers, 0,
      [this](std::unique_ptr<GateConnection> connection) { Serve(std::move(connection), true); });
  gate_ = std::make_unique<ConnectionGate>(
      server_->ListeningSocket(), gate_limits,
      [this](std::unique_ptr<GateConnection>& connection, RequestKind kind) {
        return (kind == RequestKind::kEventStream ? streams_ : requests_)->TryPost(connection);
      },
      [this]() -> TlsContext { return security_ ? security_->Current()->tls : nullptr; });
  if (std::string problem = gate_->Open(); !problem.empty()) {
    Shutdown();
    return problem;
  }
  thread_ = std::thread([this] { gate_->Run(); });
  return {};
}

void HttpServer::Serve(std::unique_ptr<GateConnection> connection, bool event_stream) {
  ConnectionStream stream(*connection, limits_, stopping_);
  // An event stream holds its connection to the end; so does a request that carried a body.
  const bool last =
      event_stream || connection->close_after || connection->served + 1 >= kKeepAliveMaxCount;
  bool client_closes = false;
  const bool written = server_->ServeOne(stream, last, client_closes);
  ++connection->served;
  if (written && !last && !client_closes && !stopping_) gate_->KeepAlive(std::move(connection));
}

bool HttpServer::listening() const { return thread_.joinable() && port_ > 0; }

void HttpServer::Stop() {
  if (!thread_.joinable()) return;
  gate_->Stop();
  thread_.join();
  Shutdown();
  port_ = 0;
}

void HttpServer::Shutdown() {
  stopping_ = true;
  server_->CloseListening();
  if (streams_) streams_->Shutdown();
  if (requests_) requests_->Shutdown();
  streams_.reset();
  requests_.reset();
  gate_.reset();
}

}  // namespace k426b_host
