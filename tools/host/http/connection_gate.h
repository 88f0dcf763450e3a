#pragma once

// The door of the HTTP endpoint: one thread that accepts connections and reads each request's
// head without ever blocking, so no worker waits on a client that is slow, idle or silent. A
// connection is handed on only once its head is complete, to the requests or the event streams,
// and comes back here between the requests it keeps alive. A connection beyond the limit, or
// one that no worker can take, is answered 503 at once and closed; a head that does not
// complete in time is dropped; one too large is answered 431. With TLS the gate also runs each
// connection's handshake, without blocking, within the time of the head.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/common/fd.h"
#include "tools/host/secure/tls_session.h"

namespace k426b_host {

struct GateLimits {
  std::size_t connections = 64;                     // open at once, waiting here or served
  std::chrono::milliseconds head_time{5000};        // to send a whole request head
  std::chrono::milliseconds keep_alive_idle{5000};  // between two requests on one connection
  std::size_t head_bytes = 8192;                    // request line and header lines together
  std::size_t header_lines = 64;
};

// Where a request goes: the event stream (GET /events) or every other request.
enum class RequestKind { kRequest, kEventStream };

class ConnectionGate;

// One client connection. `pending` holds the bytes read from it that no request has taken yet:
// the head just read, and what the client sent after it.
struct GateConnection {
  GateConnection(Fd socket, std::atomic<std::size_t>& open) : fd(std::move(socket)), open_(open) {}
  ~GateConnection() { --open_; }
  GateConnection(const GateConnection&) = delete;
  GateConnection& operator=(const GateConnection&) = delete;

  Fd fd;
  std::unique_ptr<TlsSession> tls;  // null: plain HTTP
  std::string pending;
  unsigned served = 0;       // requests answered on it so far
  bool close_after = false;  // the head announces a body: the connection is not reused

 private:
  std::atomic<std::size_t>& open_;
};

class ConnectionGate {
 public:
  // Takes a connection whose head is complete; false when no worker can take it now (the gate
  // then answers 503).
  using Dispatch =
      std::function<bool(std::unique_ptr<GateConnection>& connection, RequestKind kind)>;

  // The context a new connection's TLS session is made from; null: plain HTTP.
  using TlsSource = std::function<TlsContext()>;

  // `listening` stays the caller's; it is made non-blocking.
  ConnectionGate(int listening, GateLimits limits, Dispatch dispatch, TlsSource tls = {});
  ~ConnectionGate();
  ConnectionGate(const ConnectionGate&) = delete;
  ConnectionGate& operator=(const ConnectionGate&) = delete;

  // Empty when ready to Run(), else the reason.
  std::string Open();
  // Accepts and reads heads until Stop(); on the gate's own thread.
  void Run();
  // Ends Run() soon; the connections waiting here are closed.
  void Stop();
  // A connection whose response is written and that stays open: it waits here for its next
  // head. Any thread.
  void KeepAlive(std::unique_ptr<GateConnection> connection);

 private:
  struct Waiting;
  // False when accepting fails for want of descriptors.
  bool Accept();
  Waiting* Watch(std::unique_ptr<Waiting> waiting);
  std::unique_ptr<Waiting> Take(Waiting& waiting);
  void Read(Waiting& waiting);
  // False when the handshake is not done yet (or failed: the connection is then dropped).
  bool Handshake(Waiting& waiting);
  void Refuse(std::unique_ptr<Waiting> waiting, const char* answer);
  void Forget(int fd);
  void ExpireAndAdopt();

  int listening_;
  GateLimits limits_;
  Dispatch dispatch_;
  TlsSource tls_;
  Fd epoll_;
  Fd wake_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> open_{0};
  std::vector<std::unique_ptr<Waiting>> waiting_;
  std::mutex returned_mutex_;
  std::vector<std::unique_ptr<GateConnection>> returned_;
};

}  // namespace k426b_host
