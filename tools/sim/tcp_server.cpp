#include "tools/sim/tcp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace k426b_sim {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

bool SendAll(int fd, const char* bytes, std::size_t length) {
  std::size_t sent = 0;
  while (sent < length) {
    const ssize_t result = ::send(fd, bytes + sent, length - sent, MSG_NOSIGNAL);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) return false;
    sent += static_cast<std::size_t>(result);
  }
  return true;
}

}  // namespace

void SplitAddress(const std::string& text, std::string& host, unsigned short& port) {
  const std::string problem = "--tcp expects ADDR:PORT (IPv6 as [ADDR]:PORT), got \"" + text + "\"";
  std::string port_text;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
      throw std::invalid_argument(problem);
    host = text.substr(1, close - 1);
    port_text = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) throw std::invalid_argument(problem);
    host = text.substr(0, colon);
    port_text = text.substr(colon + 1);
  }
  if (port_text.empty() || port_text.size() > 5 ||
      port_text.find_first_not_of("0123456789") != std::string::npos)
    throw std::invalid_argument(problem);
  const unsigned long number = std::stoul(port_text);
  if (number > 65535) throw std::invalid_argument(problem);
  port = static_cast<unsigned short>(number);
}

TcpServer::TcpServer(const std::string& host, unsigned short port) : host_(host) {
  sockaddr_storage storage{};
  socklen_t size = 0;
  int family = AF_INET;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    size = sizeof *v4;
  } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    family = AF_INET6;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    size = sizeof *v6;
  } else {
    throw std::invalid_argument("--tcp needs a numeric address, got \"" + host + "\"");
  }
  listener_ = Fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (listener_.Get() < 0) ThrowErrno("socket");
  const int on = 1;
  ::setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&storage), size) != 0)
    ThrowErrno("bind " + host + ":" + std::to_string(port));
  if (::listen(listener_.Get(), 4) != 0) ThrowErrno("listen");
  if (::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&storage), &size) != 0)
    ThrowErrno("getsockname");
  port_ = ntohs(family == AF_INET ? v4->sin_port : v6->sin6_port);
}

std::string TcpServer::Address() const {
  const bool v6 = host_.find(':') != std::string::npos;
  return (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
}

bool TcpServer::Serve(Responder& responder, const ServeOptions& options,
                      const std::atomic<bool>& stop) {
  Fd client;
  unsigned char buffer[512];
  while (!stop.load()) {
    pollfd watch[2] = {{listener_.Get(), POLLIN, 0}, {client.Get(), POLLIN, 0}};
    const int ready = ::poll(watch, client.Get() >= 0 ? 2 : 1, 100);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (ready == 0) continue;
    if (watch[0].revents & POLLIN) {
      Fd accepted(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (accepted.Get() >= 0) {
        const int on = 1;
        ::setsockopt(accepted.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        client = std::move(accepted);  // the previous client, if any, is closed
        if (options.trace) options.trace("connect", "");
        continue;
      }
      if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) return false;
    }
    if (client.Get() < 0 || watch[1].revents == 0) continue;
    const ssize_t count = ::recv(client.Get(), buffer, sizeof buffer, 0);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count <= 0) {  // the client left: wait for the next one
      client = Fd();
      if (options.trace) options.trace("disconnect", "");
      continue;
    }
    const std::size_t length = static_cast<std::size_t>(count);
    if (options.trace) options.trace("rx", std::string(reinterpret_cast<char*>(buffer), length));
    for (const std::string& reply : responder.OnBytes(buffer, length)) {
      if (options.trace) options.trace("tx", reply);
      const auto write = [fd = client.Get()](const char* bytes, std::size_t length) {
        return SendAll(fd, bytes, length);
      };
      if (!SendPaced(reply, options, write)) {
        client = Fd();
        break;
      }
    }
  }
  return true;
}

}  // namespace k426b_sim
