#include "tools/sim/serve/tcp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <queue>
#include <stdexcept>
#include <system_error>

#include "tools/common/net_address.h"

namespace k426b_sim {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

using Clock = LinePace::Clock;

// One site as the loop sees it: its client, the replies waiting for the line, what it waits for.
struct SiteState {
  int listener = -1;
  Responder* responder = nullptr;
  Fd client;
  std::deque<std::string> replies;  // the first is on the line
  std::size_t sent = 0;             // bytes of the first reply handed to the client
  std::size_t packet_end = 0;       // end of the packet being handed over (== sent: none begun)
  Clock::time_point start;          // when the first reply began on the line
  Clock::time_point line_free;      // when the line is free for the next reply
  std::optional<Clock::time_point> wake_at;  // the site's live entry in the schedule
  bool accept_waiting = false;  // the listener has signalled a connection not yet accepted
  bool input_waiting = false;   // the client may have bytes not yet received
};

struct Due {
  Clock::time_point at;
  std::size_t site;
  bool operator>(const Due& other) const { return at > other.at; }
};

// Every site's listener and client in one epoll set (edge-triggered: a site with a reply on the
// line leaves its events for later, as a server of its own would not read while it writes), and
// one schedule of when each site next has a packet due. A wake hands over every packet due by
// then across all sites; the wait is rounded up to whole milliseconds, so sites whose packets
// fall due within the same millisecond share one wake.
class SiteLoop {
 public:
  SiteLoop(const std::vector<TcpServer::Site>& sites, const ServeOptions& options)
      : options_(options),
        pace_(options),
        epoll_(::epoll_create1(EPOLL_CLOEXEC)),
        sites_(sites.size()) {
    for (std::size_t index = 0; index < sites.size(); ++index) {
      sites_[index].listener = sites[index].server->Listener();
      sites_[index].responder = sites[index].responder;
    }
  }

  bool Run(const std::atomic<bool>& stop) {
    if (epoll_.Get() < 0) return false;
    for (std::size_t index = 0; index < sites_.size(); ++index)
      if (!Watch(sites_[index].listener, index * 2, EPOLLIN | EPOLLET)) return false;
    epoll_event events[256];
    while (!stop.load()) {
      const int ready = ::epoll_wait(epoll_.Get(), events, 256, Timeout());
      if (ready < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      const Clock::time_point now = Clock::now();
      for (int i = 0; i < ready; ++i) {
        const std::size_t index = events[i].data.u64 / 2;
        if (events[i].data.u64 % 2 == 0)
          sites_[index].accept_waiting = true;
        else if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
          sites_[index].input_waiting = true;
        if (!Advance(index, now)) return false;
      }
      while (!schedule_.empty() && schedule_.top().at <= now) {
        const Due due = schedule_.top();
        schedule_.pop();
        SiteState& site = sites_[due.site];
        if (site.wake_at != due.at) continue;  // superseded by an earlier wake
        site.wake_at.reset();
        if (!Advance(due.site, now)) return false;
      }
    }
    return true;
  }

 private:
  // Bytes received from one client before the others get their turn.
  static constexpr int kReadsPerTurn = 16;

  int Timeout() const {
    int timeout = 100;  // the stop flag is looked at this often
    if (!schedule_.empty()) {
      const auto wait =
          std::chrono::ceil<std::chrono::milliseconds>(schedule_.top().at - Clock::now());
      timeout =
          static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, timeout));
    }
    return timeout;
  }

  bool Watch(int fd, std::uint64_t key, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    return ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &event) == 0;
  }

  void Wake(std::size_t index, Clock::time_point at) {
    SiteState& site = sites_[index];
    if (site.wake_at && *site.wake_at <= at) return;
    site.wake_at = at;
    schedule_.push({at, index});
  }

  // Does what the site can do now: hand over its due packets; with the line free, take a new
  // client or the client's bytes. False when the listening socket fails.
  bool Advance(std::size_t index, Clock::time_point now) {
    SiteState& site = sites_[index];
    for (int reads = 0;;) {
      Flush(index, site, now);
      if (!site.replies.empty()) return true;
      if (site.accept_waiting) {
        if (!AcceptAll(index, site)) return false;
        continue;
      }
      if (site.client.Get() < 0 || !site.input_waiting) return true;
      if (++reads > kReadsPerTurn) {  // on the next turn, after the other sites
        Wake(index, now + Clock::duration(1));
        return true;
      }
      Receive(site);
    }
  }

  void Flush(std::size_t index, SiteState& site, Clock::time_point now) {
    while (!site.replies.empty()) {
      const std::string& reply = site.replies.front();
      if (site.sent == site.packet_end) {
        if (site.sent == reply.size()) {  // the reply is out; the next one follows on the line
          site.line_free = site.start = pace_.LineFree(site.start, reply.size());
          site.replies.pop_front();
          site.sent = site.packet_end = 0;
          continue;
        }
        const std::size_t end = pace_.PacketEnd(site.sent, reply.size());
        const Clock::time_point due = pace_.PacketDue(site.start, end);
        if (due > now) return Wake(index, due);
        site.packet_end = end;
      }
      const ssize_t result = ::send(site.client.Get(), reply.data() + site.sent,
                                    site.packet_end - site.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (result < 0 && errno == EINTR) continue;
      if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // until EPOLLOUT
      if (result <= 0) {  // the client is gone: the rest of its replies with it
        site.client = Fd();
        site.replies.clear();
        site.sent = site.packet_end = 0;
        site.line_free = Clock::time_point();
        site.input_waiting = false;
        return;
      }
      site.sent += static_cast<std::size_t>(result);
    }
  }

  // A new client replaces the current one (which is closed).
  bool AcceptAll(std::size_t index, SiteState& site) {
    for (;;) {
      Fd accepted(::accept4(site.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (accepted.Get() < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        site.accept_waiting = false;
        return errno == EAGAIN || errno == EWOULDBLOCK;
      }
      const int on = 1;
      ::setsockopt(accepted.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      if (!Watch(accepted.Get(), index * 2 + 1, EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET))
        return false;
      site.client = std::move(accepted);
      site.input_waiting = true;  // bytes may have come with the connection
      if (options_.trace) options_.trace("connect", "");
    }
  }

  void Receive(SiteState& site) {
    unsigned char buffer[512];
    const ssize_t count = ::recv(site.client.Get(), buffer, sizeof buffer, 0);
    const Clock::time_point now = Clock::now();  // the replies' pace counts from the bytes read
    if (count < 0 && errno == EINTR) return;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      site.input_waiting = false;
      return;
    }
    if (count <= 0) {  // the client left: wait for the next one
      site.client = Fd();
      site.input_waiting = false;
      if (options_.trace) options_.trace("disconnect", "");
      return;
    }
    const std::size_t length = static_cast<std::size_t>(count);
    if (options_.trace) options_.trace("rx", std::string(reinterpret_cast<char*>(buffer), length));
    for (std::string& reply : site.responder->OnBytes(buffer, length)) {
      if (options_.trace) options_.trace("tx", reply);
      if (site.replies.empty()) site.start = std::max(now, site.line_free);
      site.replies.push_back(std::move(reply));
    }
  }

  const ServeOptions& options_;
  const LinePace pace_;
  Fd epoll_;
  std::vector<SiteState> sites_;
  std::priority_queue<Due, std::vector<Due>, std::greater<Due>> schedule_;
};

}  // namespace

void SplitAddress(const std::string& text, std::string& host, unsigned short& port) {
  NetAddress address;
  if (!ParseHostPort(text, address, /*port_zero=*/true).empty())
    throw std::invalid_argument("--tcp expects ADDR:PORT (IPv6 as [ADDR]:PORT), got \"" + text +
                                "\"");
  host = address.host;
  port = address.port;
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
  listener_ = Fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
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

std::string TcpServer::Address() const { return HostPortText({host_, port_}); }

bool TcpServer::Serve(Responder& responder, const ServeOptions& options,
                      const std::atomic<bool>& stop) {
  return ServeAll({{this, &responder}}, options, stop);
}

bool TcpServer::ServeAll(const std::vector<Site>& sites, const ServeOptions& options,
                         const std::atomic<bool>& stop) {
  return SiteLoop(sites, options).Run(stop);
}

}  // namespace k426b_sim
