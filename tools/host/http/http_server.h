#pragma once

// The host's HTTP endpoint: bound to one address, serving GET /healthz and whatever GET routes
// the service adds (/metrics, the web page). Runs on a thread of its own. Read-only: every method
// but GET and HEAD is answered 405 on every path, before any route sees it.
//
// Limits: at most `workers` connections are served at once and `queued` more wait; beyond that
// a connection is answered 503 at once. Requests carry no body (payload limit), header lines
// are limited by the library (8 KiB), idle connections are closed after a few seconds.

#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "tools/host/http/routes.h"

namespace httplib {
class Server;
}

namespace k426b_host {

struct ListenAddress {
  std::string host = "127.0.0.1";
  int port = 0;
};

// Parses "ADDR:PORT" (ADDR a host name, an IPv4 address or [IPv6]), ":PORT" or "PORT" (the last
// two on 127.0.0.1); PORT 1 to 65535. Empty result on success, else the problem.
std::string ParseListenAddress(const std::string& text, ListenAddress& address);

struct HttpServerLimits {
  std::size_t workers = 4;
  std::size_t queued = 16;
  std::size_t max_payload = 1024;
  int read_timeout_s = 5;
  int keep_alive_timeout_s = 5;
};

class HttpServer : public Routes {
 public:
  explicit HttpServer(HttpServerLimits limits = {});
  ~HttpServer() override;
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Add routes before Start().
  void AddRoute(const std::string& pattern, RouteHandler handler) override;

  // Binds (port 0: a free port) and serves from a thread of its own. Empty result when
  // listening, else the reason.
  std::string Start(const ListenAddress& address);
  // True from a successful Start() until Stop(): the service is ready to be scraped.
  bool listening() const;
  int port() const { return port_; }
  void Stop();

 private:
  class BoundedQueue;
  HttpServerLimits limits_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace k426b_host
