#include "tools/host/line/tcp_line.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/host/line/name_lookup.h"

namespace k426b_host {

namespace {

// Keep-alive: first probe after 10 s of silence, then every 5 s, the connection given up after
// 3 unanswered probes; unacknowledged data gives up after 20 s. A poll cycle is far shorter, so
// a server that vanished is noticed within about half a minute even while nothing is sent.
constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 20000;

// How often a connect under way looks whether it is to give up.
constexpr std::chrono::milliseconds kGiveUpCheck{100};

void SetOption(int fd, int level, int name, int value) {
  ::setsockopt(fd, level, name, &value, sizeof value);
}

// Connects one candidate address without blocking past `deadline` or `give_up`; the socket, or
// none with `reason` set.
Fd ConnectOne(const addrinfo& candidate, std::chrono::steady_clock::time_point deadline,
              const std::atomic<bool>& give_up, std::string& reason) {
  Fd fd(::socket(candidate.ai_family, candidate.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                 candidate.ai_protocol));
  if (!fd.valid()) {
    reason = std::strerror(errno);
    return fd;
  }
  if (::connect(fd.Get(), candidate.ai_addr, candidate.ai_addrlen) == 0) return fd;
  if (errno != EINPROGRESS) {
    reason = std::strerror(errno);
    return Fd();
  }
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      reason = "no answer within the connect time-out";
      return Fd();
    }
    if (give_up.load()) {
      reason = "given up";
      return Fd();
    }
    pollfd writable{fd.Get(), POLLOUT, 0};
    const int polled = ::poll(&writable, 1, static_cast<int>(std::min(left, kGiveUpCheck).count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled < 0) {
      reason = std::strerror(errno);
      return Fd();
    }
    if (polled == 0) continue;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error == 0) return fd;
    reason = std::strerror(error);
    return Fd();
  }
}

}  // namespace

std::string TcpLine::Open() {
  Close();
  NetAddress address;
  if (auto problem = ParseTcpAddress(path_, address); !problem.empty()) return problem;

  if (given_up_.load()) return "cannot connect to " + path_ + ": given up";
  // The name lookup and then the connect each have the connect time-out.
  std::string reason;
  const AddressList found =
      LookUpAddresses(address.host, address.port,
                      std::chrono::steady_clock::now() + connect_timeout_, given_up_, reason);
  if (!found) return reason;

  const auto deadline = std::chrono::steady_clock::now() + connect_timeout_;
  reason = "no address";
  Fd fd;
  for (const addrinfo* candidate = found.get(); candidate != nullptr && !fd.valid();
       candidate = candidate->ai_next)
    fd = ConnectOne(*candidate, deadline, given_up_, reason);
  if (!fd.valid()) return "cannot connect to " + path_ + ": " + reason;

  // A query goes out as one small packet, at once.
  SetOption(fd.Get(), IPPROTO_TCP, TCP_NODELAY, 1);
  SetOption(fd.Get(), SOL_SOCKET, SO_KEEPALIVE, 1);
  SetOption(fd.Get(), IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleSeconds);
  SetOption(fd.Get(), IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalSeconds);
  SetOption(fd.Get(), IPPROTO_TCP, TCP_KEEPCNT, kKeepCount);
  SetOption(fd.Get(), IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(kUserTimeoutMs));
  fd_ = std::move(fd);
  return {};
}

void TcpLine::Close() { fd_ = Fd(); }

bool TcpLine::Write(const unsigned char* bytes, std::size_t length) {
  // MSG_NOSIGNAL: a peer that closed gives EPIPE here rather than SIGPIPE to the process.
  return WriteAll(fd_.Get(), bytes, length,
                  [](int fd, const unsigned char* data, std::size_t size) {
                    return ::send(fd, data, size, MSG_NOSIGNAL);
                  });
}

TcpLine::ReadResult TcpLine::Read(unsigned char* buffer, std::size_t capacity,
                                  std::size_t& received, int wait_ms) {
  return ReadReady(
      fd_.Get(), buffer, capacity, received, wait_ms,
      [](int fd, unsigned char* data, std::size_t size) { return ::recv(fd, data, size, 0); },
      /*end_is_loss=*/true);
}

}  // namespace k426b_host
