#include "tools/host/http/http_server.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include <httplib.h>

#include "tools/common/net_address.h"

namespace k426b_host {

namespace {

// Set on a thread while it answers a connection beyond the limit.
thread_local bool t_over_limit = false;

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

}  // namespace

// A fixed number of workers and a bounded wait list. A connection beyond both is still taken
// (the library hands over the socket inside the task, so dropping the task would leak it): it is
// served on the accepting thread with a 503, which also holds further accepts back meanwhile.
class HttpServer::BoundedQueue : public httplib::TaskQueue {
 public:
  BoundedQueue(std::size_t workers, std::size_t queued) : capacity_(workers + queued) {
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
  }
  void enqueue(std::function<void()> task) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (busy_ + tasks_.size() < capacity_) {
        tasks_.push_back(std::move(task));
        ready_.notify_one();
        return;
      }
    }
    t_over_limit = true;
    task();
    t_over_limit = false;
  }
  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    for (auto& thread : threads_) thread.join();
  }

 private:
  void Work() {
    while (true) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
        ++busy_;
      }
      task();
      std::lock_guard<std::mutex> lock(mutex_);
      --busy_;
    }
  }

  std::size_t capacity_;  // connections served or waiting
  std::size_t busy_ = 0;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
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
    : limits_(limits), server_(std::make_unique<httplib::Server>()) {
  server_->new_task_queue = [this] { return new BoundedQueue(limits_.workers, limits_.queued); };
  server_->set_payload_max_length(limits_.max_payload);
  server_->set_read_timeout(limits_.read_timeout_s, 0);
  server_->set_write_timeout(limits_.read_timeout_s, 0);
  server_->set_keep_alive_timeout(limits_.keep_alive_timeout_s);
  server_->set_keep_alive_max_count(100);
  // Address reuse only: the library's default also sets SO_REUSEPORT, which would let a second
  // process bind the same port and take part of the scrapes.
  server_->set_socket_options([](socket_t socket) {
    const int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  });
  // Read-only: every method but GET and HEAD is refused before routing.
  server_->set_pre_routing_handler(
      [](const httplib::Request& request, httplib::Response& response) {
        if (t_over_limit) {
          response.status = 503;
          response.set_header("Connection", "close");
          response.set_content("too many connections\n", "text/plain; charset=utf-8");
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
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // The socket already listens (connections wait in its backlog); waiting until the loop runs
  // too makes a Stop() right after Start() reach it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return {};
}

bool HttpServer::listening() const { return thread_.joinable() && port_ > 0; }

void HttpServer::Stop() {
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
  port_ = 0;
}

}  // namespace k426b_host
