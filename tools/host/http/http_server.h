#pragma once

// The host's HTTP endpoint: bound to one address, serving GET /healthz and whatever GET routes
// the service adds (/metrics, the web page). Runs on a thread of its own. Read-only: every method
// but GET and HEAD is answered 405 on every path, before any route sees it.
//
// Limits: one thread accepts every connection and reads each request's head without blocking
// (the connection gate); a head must be complete within the read timeout, at most 8 KiB and 64
// header lines. Only then is the request served: by one of `workers` (and `queued` more wait),
// or, for GET /events, by one of `stream_workers`, so open event streams never take the
// workers of /metrics and /healthz. A connection beyond `connections`, or one that finds its
// workers all taken, is answered 503 at once. Requests carry no body (payload limit); an idle
// kept-alive connection waits at the gate and is closed after the keep-alive timeout.
//
// Secured by a web configuration file: TLS (the handshake runs at the gate, without blocking),
// basic auth on every path, and the file's headers on every answer; the file is read again
// when it changes.

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "tools/host/http/routes.h"

namespace k426b_host {

class ConnectionGate;
struct GateConnection;
class WebSecurity;

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
  std::size_t stream_workers = 8;
  std::size_t connections = 64;
  std::size_t max_payload = 1024;
  std::size_t max_head_bytes = 8192;
  std::size_t max_header_lines = 64;
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

  // Serves as the web configuration file says (before Start()). Empty on success, else the
  // problem.
  std::string Secure(const std::string& web_config_file);
  // True when connections speak TLS now.
  bool tls() const;

  // Binds (port 0: a free port) and serves from a thread of its own. Empty result when
  // listening, else the reason.
  std::string Start(const ListenAddress& address);
  // True from a successful Start() until Stop(): the service is ready to be scraped.
  bool listening() const;
  int port() const { return port_; }
  void Stop();

 private:
  class Library;
  class WorkerPool;
  void Serve(std::unique_ptr<GateConnection> connection, bool event_stream);
  void Shutdown();

  HttpServerLimits limits_;
  std::shared_ptr<WebSecurity> security_;
  std::unique_ptr<Library> server_;
  std::unique_ptr<ConnectionGate> gate_;
  std::unique_ptr<WorkerPool> requests_;
  std::unique_ptr<WorkerPool> streams_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;  // the gate's
  int port_ = 0;
};

}  // namespace k426b_host
