#include "tools/host/tcp_line.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr char kScheme[] = "tcp://";

// Keep-alive: first probe after 10 s of silence, then every 5 s, the connection given up after
// 3 unanswered probes; unacknowledged data gives up after 20 s. A poll cycle is far shorter, so
// a server that vanished is noticed within about half a minute even while nothing is sent.
constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 20000;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A host name of dot-separated labels: letters, digits and inner hyphens, 1-63 characters each.
bool IsHostName(const std::string& host) {
  if (host.empty() || host.size() > 253) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = host.find('.', start);
    const std::size_t end = dot == std::string::npos ? host.size() : dot;
    const std::size_t length = end - start;
    if (length == 0 || length > 63) return false;
    if (host[start] == '-' || host[end - 1] == '-') return false;
    for (std::size_t i = start; i < end; ++i)
      if (!IsAlnum(host[i]) && host[i] != '-') return false;
    if (dot == std::string::npos) return true;
    start = dot + 1;
  }
}

std::string Malformed(const std::string& text, const std::string& why) {
  return "malformed address \"" + text + "\": " + why + " (expected tcp://HOST:PORT)";
}

void SetOption(int fd, int level, int name, int value) {
  ::setsockopt(fd, level, name, &value, sizeof value);
}

// Connects one candidate address without blocking past `deadline`; the socket or -1 with
// `reason` set.
int ConnectOne(const addrinfo& candidate, std::chrono::steady_clock::time_point deadline,
               std::string& reason) {
  const int fd = ::socket(candidate.ai_family, candidate.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          candidate.ai_protocol);
  if (fd < 0) {
    reason = std::strerror(errno);
    return -1;
  }
  if (::connect(fd, candidate.ai_addr, candidate.ai_addrlen) == 0) return fd;
  if (errno != EINPROGRESS) {
    reason = std::strerror(errno);
    ::close(fd);
    return -1;
  }
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      reason = "no answer within the connect time-out";
      ::close(fd);
      return -1;
    }
    pollfd writable{fd, POLLOUT, 0};
    const int polled = ::poll(&writable, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled < 0) {
      reason = std::strerror(errno);
      ::close(fd);
      return -1;
    }
    if (polled == 0) continue;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error == 0) return fd;
    reason = std::strerror(error);
    ::close(fd);
    return -1;
  }
}

}  // namespace

bool IsTcpAddress(const std::string& text) { return text.rfind(kScheme, 0) == 0; }

std::string ParseTcpAddress(const std::string& text, TcpAddress& address) {
  if (!IsTcpAddress(text)) return Malformed(text, "it does not start with tcp://");
  const std::string rest = text.substr(sizeof kScheme - 1);
  std::string host;
  std::string port;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos) return Malformed(text, "the IPv6 address lacks its ']'");
    host = rest.substr(1, close - 1);
    in6_addr parsed{};
    if (::inet_pton(AF_INET6, host.c_str(), &parsed) != 1)
      return Malformed(text, "\"" + host + "\" is not an IPv6 address");
    if (close + 1 >= rest.size() || rest[close + 1] != ':')
      return Malformed(text, "the port is missing");
    port = rest.substr(close + 2);
  } else {
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos) return Malformed(text, "the port is missing");
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.empty()) return Malformed(text, "the host is missing");
    if (host.find(':') != std::string::npos)
      return Malformed(text, "an IPv6 address must be written in brackets, as [::1]");
    bool numeric = true;
    for (char c : host) numeric = numeric && (IsDigit(c) || c == '.');
    if (numeric) {
      in_addr parsed{};
      if (::inet_pton(AF_INET, host.c_str(), &parsed) != 1)
        return Malformed(text, "\"" + host + "\" is not an IPv4 address");
    } else if (!IsHostName(host)) {
      return Malformed(text, "\"" + host + "\" is not a host name");
    }
  }
  if (port.empty()) return Malformed(text, "the port is missing");
  if (port.size() > 5) return Malformed(text, "the port must be a number from 1 to 65535");
  unsigned long number = 0;
  for (char c : port) {
    if (!IsDigit(c)) return Malformed(text, "the port must be a number from 1 to 65535");
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  if (number < 1 || number > 65535)
    return Malformed(text, "the port must be a number from 1 to 65535");
  address.host = host;
  address.port = static_cast<unsigned short>(number);
  return {};
}

std::string TcpLine::Open() {
  Close();
  TcpAddress address;
  if (auto problem = ParseTcpAddress(path_, address); !problem.empty()) return problem;

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int lookup =
      ::getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found);
  if (lookup != 0)
    return "cannot resolve " + address.host + ": " + (lookup == EAI_SYSTEM ? std::strerror(errno)
                                                                           : ::gai_strerror(lookup));

  const auto deadline = std::chrono::steady_clock::now() + connect_timeout_;
  std::string reason = "no address";
  int fd = -1;
  for (addrinfo* candidate = found; candidate != nullptr && fd < 0; candidate = candidate->ai_next)
    fd = ConnectOne(*candidate, deadline, reason);
  ::freeaddrinfo(found);
  if (fd < 0) return "cannot connect to " + path_ + ": " + reason;

  SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);  // a query goes out as one small packet, at once
  SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleSeconds);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalSeconds);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount);
  SetOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(kUserTimeoutMs));
  fd_ = fd;
  return {};
}

void TcpLine::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TcpLine::Write(const unsigned char* bytes, std::size_t length) {
  // MSG_NOSIGNAL: a peer that closed gives EPIPE here rather than SIGPIPE to the process.
  return WriteAll(fd_, bytes, length, [](int fd, const unsigned char* data, std::size_t size) {
    return ::send(fd, data, size, MSG_NOSIGNAL);
  });
}

TcpLine::ReadResult TcpLine::Read(unsigned char* buffer, std::size_t capacity,
                                  std::size_t& received, int wait_ms) {
  return ReadReady(fd_, buffer, capacity, received, wait_ms,
                   [](int fd, unsigned char* data, std::size_t size) {
                     return ::recv(fd, data, size, 0);
                   },
                   /*end_is_loss=*/true);
}
