#pragma once

// The simulator's side of a serial device server: a listening TCP socket whose one client gets
// the same byte stream a serial line would carry. A new client replaces the current one, as a
// device server does when a host reconnects after losing its connection.

#include <atomic>
#include <string>
#include <vector>

#include "tools/common/fd.h"
#include "tools/sim/engine/simulator.h"
#include "tools/sim/serve/serial_link.h"

namespace k426b_sim {

// Splits "ADDR:PORT" or "[IPv6]:PORT" (PORT 0 to 65535, 0: a free port); throws
// std::invalid_argument naming the problem.
void SplitAddress(const std::string& text, std::string& host, unsigned short& port);

class TcpServer {
 public:
  // Binds and listens at once; throws std::system_error naming the failing call, or
  // std::invalid_argument for an address that is not numeric.
  TcpServer(const std::string& host, unsigned short port);

  // The port actually bound (the free one chosen for port 0).
  unsigned short Port() const { return port_; }
  // "HOST:PORT" (IPv6 in brackets), as a host would be told to connect.
  std::string Address() const;
  // The listening socket (non-blocking).
  int Listener() const { return listener_.Get(); }

  // Serves clients one at a time until `stop` is set (checked at least every 100 ms). Returns
  // false when the listening socket fails, true after a stop. With `options.pace` the replies
  // reach the client at the pace of the device server's serial line, in its packets.
  bool Serve(Responder& responder, const ServeOptions& options, const std::atomic<bool>& stop);

  // One server and the responder behind it.
  struct Site {
    TcpServer* server;
    Responder* responder;
  };
  // Serves every site as Serve serves one, from the calling thread. Returns false as soon as one
  // site's listening socket fails (the others are not served further), true after a stop.
  static bool ServeAll(const std::vector<Site>& sites, const ServeOptions& options,
                       const std::atomic<bool>& stop);

 private:
  Fd listener_;
  std::string host_;
  unsigned short port_ = 0;
};

}  // namespace k426b_sim
