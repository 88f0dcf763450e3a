#include "tools/host/http/connection_gate.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace k426b_host {

namespace {

using Clock = std::chrono::steady_clock;

// A refused client gets this long to take its answer before the socket is closed; closing
// with its request still unread would reset the connection and lose the answer.
constexpr std::chrono::milliseconds kRefusalLinger{1000};
// How long accepting pauses when the process is out of descriptors.
constexpr std::chrono::milliseconds kAcceptPause{100};

constexpr char kBusy[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 21\r\nRetry-After: 1\r\nConnection: close\r\n\r\ntoo many connections\n";
constexpr char kHeadTooLarge[] =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 24\r\nConnection: close\r\n\r\nrequest head too large\r\n";
constexpr char kBodyRefused[] =
    "HTTP/1.1 413 Payload Too Large\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 29\r\nConnection: close\r\n\r\nGET and HEAD take no body\r\n\r\n";

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return text;
}

// What the gate needs to know of a complete head.
struct Head {
  bool too_many_lines = false;
  bool event_stream = false;
  bool body = false;  // Content-Length other than 0, or Transfer-Encoding
  bool get_or_head = false;
};

Head ReadHead(const std::string& head, std::size_t max_lines) {
  Head read;
  std::size_t start = 0;
  std::size_t line_count = 0;
  while (start < head.size()) {
    std::size_t end = head.find('\n', start);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    start = end + 1;
    if (line.empty()) break;
    if (++line_count > max_lines + 1) {
      read.too_many_lines = true;
      break;
    }
    if (line_count == 1) {
      const std::size_t space = line.find(' ');
      const std::string method = line.substr(0, space);
      read.get_or_head = method == "GET" || method == "HEAD";
      const std::size_t target_end = line.find(' ', space + 1);
      const std::string target = space == std::string::npos
                                     ? std::string()
                                     : line.substr(space + 1, target_end - space - 1);
      read.event_stream = target == "/events" || target.rfind("/events?", 0) == 0;
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = Lower(line.substr(0, colon));
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t") + 1);
    if (name == "transfer-encoding" || (name == "content-length" && value != "0")) read.body = true;
  }
  return read;
}

// Reads what the client sent, decrypted when the connection has TLS; the result and errno as
// recv(2) gives them.
ssize_t Receive(GateConnection& connection, char* buffer, std::size_t size) {
  if (!connection.tls) return ::recv(connection.fd.Get(), buffer, size, 0);
  std::size_t got = 0;
  switch (connection.tls->Read(buffer, size, got)) {
    case TlsStep::kDone: return static_cast<ssize_t>(got);
    case TlsStep::kWantRead:
    case TlsStep::kWantWrite: errno = EAGAIN; return -1;
    case TlsStep::kClosed: return 0;
    default: errno = ECONNRESET; return -1;
  }
}

// Where the head ends (after its blank line), or npos while incomplete.
std::size_t HeadEnd(const std::string& bytes) {
  for (std::size_t at = bytes.find('\n'); at != std::string::npos; at = bytes.find('\n', at + 1)) {
    if (at + 1 < bytes.size() && bytes[at + 1] == '\n') return at + 2;
    if (at + 2 < bytes.size() && bytes[at + 1] == '\r' && bytes[at + 2] == '\n') return at + 3;
  }
  return std::string::npos;
}

}  // namespace

struct ConnectionGate::Waiting {
  std::unique_ptr<GateConnection> connection;
  Clock::time_point deadline;
  bool refused = false;  // answered and closing: what comes is read and dropped
  bool idle = false;     // kept alive, not a byte of the next head yet
};

ConnectionGate::ConnectionGate(int listening, GateLimits limits, Dispatch dispatch, TlsSource tls)
    : listening_(listening),
      limits_(limits),
      dispatch_(std::move(dispatch)),
      tls_(std::move(tls)) {}

ConnectionGate::~ConnectionGate() = default;

std::string ConnectionGate::Open() {
  const int flags = ::fcntl(listening_, F_GETFL);
  if (flags < 0 || ::fcntl(listening_, F_SETFL, flags | O_NONBLOCK) != 0)
    return std::string("cannot make the listening socket non-blocking: ") + std::strerror(errno);
  epoll_ = Fd(::epoll_create1(EPOLL_CLOEXEC));
  wake_ = Fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!epoll_.valid() || !wake_.valid())
    return std::string("cannot watch the connections: ") + std::strerror(errno);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = &listening_;
  if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, listening_, &event) != 0)
    return std::string("cannot watch the listening socket: ") + std::strerror(errno);
  event.data.ptr = &wake_;
  if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wake_.Get(), &event) != 0)
    return std::string("cannot watch the connections: ") + std::strerror(errno);
  return {};
}

void ConnectionGate::Stop() {
  stopping_ = true;
  const std::uint64_t one = 1;
  if (wake_.valid()) (void)!::write(wake_.Get(), &one, sizeof one);
}

void ConnectionGate::KeepAlive(std::unique_ptr<GateConnection> connection) {
  if (stopping_) return;
  {
    std::lock_guard<std::mutex> lock(returned_mutex_);
    returned_.push_back(std::move(connection));
  }
  const std::uint64_t one = 1;
  (void)!::write(wake_.Get(), &one, sizeof one);
}

void ConnectionGate::Run() {
  Clock::time_point accept_resumes{};
  bool accepting = true;
  epoll_event events[64];
  while (!stopping_) {
    auto wait = std::chrono::milliseconds(1000);
    const auto now = Clock::now();
    for (const auto& waiting : waiting_)
      wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(
                                std::max(waiting->deadline - now, Clock::duration::zero())));
    const int ready = ::epoll_wait(epoll_.Get(), events, 64, static_cast<int>(wait.count()));
    // New connections are taken after the others' events, so a connection that closed in the
    // same wake no longer counts against the limit.
    bool connecting = false;
    for (int i = 0; i < ready && !stopping_; ++i) {
      void* what = events[i].data.ptr;
      if (what == &wake_) {
        std::uint64_t count = 0;
        (void)!::read(wake_.Get(), &count, sizeof count);
      } else if (what == &listening_) {
        connecting = accepting;
      } else {
        Read(*static_cast<Waiting*>(what));
      }
    }
    if (connecting && !stopping_ && !Accept()) {
      // Out of descriptors: the listening socket stays readable, so pause accepting rather
      // than spin.
      epoll_event paused{};
      paused.data.ptr = &listening_;
      ::epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, listening_, &paused);
      accepting = false;
      accept_resumes = Clock::now() + kAcceptPause;
    }
    if (!accepting && Clock::now() >= accept_resumes) {
      epoll_event resumed{};
      resumed.events = EPOLLIN;
      resumed.data.ptr = &listening_;
      ::epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, listening_, &resumed);
      accepting = true;
    }
    ExpireAndAdopt();
  }
  waiting_.clear();
  std::lock_guard<std::mutex> lock(returned_mutex_);
  returned_.clear();
}

bool ConnectionGate::Accept() {
  while (true) {
    const int fd = ::accept4(listening_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;  // else out of descriptors or the like
    }
    ++open_;
    auto waiting = std::make_unique<Waiting>();
    waiting->connection = std::make_unique<GateConnection>(Fd(fd), open_);
    waiting->deadline = Clock::now() + limits_.head_time;
    if (TlsContext context = tls_ ? tls_() : nullptr) {
      waiting->connection->tls = TlsSession::Start(context, fd);
      if (!waiting->connection->tls) continue;  // dropped: the connection closes
    }
    if (open_ > limits_.connections) {
      Refuse(std::move(waiting), kBusy);
      continue;
    }
    Watch(std::move(waiting));
  }
}

ConnectionGate::Waiting* ConnectionGate::Watch(std::unique_ptr<Waiting> waiting) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.ptr = waiting.get();
  if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, waiting->connection->fd.Get(), &event) != 0)
    return nullptr;  // dropped: the connection closes
  waiting_.push_back(std::move(waiting));
  return waiting_.back().get();
}

void ConnectionGate::Forget(int fd) {
  ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, fd, nullptr);
  waiting_.erase(
      std::remove_if(waiting_.begin(), waiting_.end(),
                     [fd](const auto& waiting) { return waiting->connection->fd.Get() == fd; }),
      waiting_.end());
}

std::unique_ptr<ConnectionGate::Waiting> ConnectionGate::Take(Waiting& waiting) {
  ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, waiting.connection->fd.Get(), nullptr);
  auto found = std::find_if(waiting_.begin(), waiting_.end(),
                            [&waiting](const auto& each) { return each.get() == &waiting; });
  std::unique_ptr<Waiting> taken = std::move(*found);
  waiting_.erase(found);
  return taken;
}

bool ConnectionGate::Handshake(Waiting& waiting) {
  TlsSession& tls = *waiting.connection->tls;
  const int fd = waiting.connection->fd.Get();
  const TlsStep step = tls.Handshake();
  if (step == TlsStep::kWantRead || step == TlsStep::kWantWrite || step == TlsStep::kDone) {
    epoll_event event{};
    event.events = (step == TlsStep::kWantWrite ? EPOLLOUT : EPOLLIN) | EPOLLRDHUP;
    event.data.ptr = &waiting;
    ::epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, fd, &event);
    return step == TlsStep::kDone;
  }
  Forget(fd);
  return false;
}

void ConnectionGate::Read(Waiting& waiting) {
  GateConnection& connection = *waiting.connection;
  const int fd = connection.fd.Get();
  if (!waiting.refused && connection.tls && !connection.tls->established() && !Handshake(waiting))
    return;
  char buffer[4096];
  bool closed = false;
  while (waiting.refused || connection.pending.size() <= limits_.head_bytes) {
    const ssize_t got = waiting.refused ? ::recv(fd, buffer, sizeof buffer, 0)
                                        : Receive(connection, buffer, sizeof buffer);
    if (got > 0) {
      if (!waiting.refused) connection.pending.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    closed = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    break;
  }
  if (waiting.refused) {
    if (closed) Forget(fd);
    return;
  }
  if (waiting.idle && !connection.pending.empty()) {
    waiting.idle = false;
    waiting.deadline = Clock::now() + limits_.head_time;
  }
  const std::size_t end = HeadEnd(connection.pending);
  if (end == std::string::npos || end > limits_.head_bytes) {
    if (connection.pending.size() > limits_.head_bytes) {
      Refuse(Take(waiting), kHeadTooLarge);
    } else if (closed) {
      Forget(fd);
    }
    return;
  }
  const Head head = ReadHead(connection.pending.substr(0, end), limits_.header_lines);
  std::unique_ptr<Waiting> taken = Take(waiting);
  if (head.too_many_lines) return Refuse(std::move(taken), kHeadTooLarge);
  if (head.body && head.get_or_head) return Refuse(std::move(taken), kBodyRefused);
  taken->connection->close_after = head.body || closed;
  const RequestKind kind = head.event_stream ? RequestKind::kEventStream : RequestKind::kRequest;
  if (!dispatch_(taken->connection, kind) && taken->connection) Refuse(std::move(taken), kBusy);
}

void ConnectionGate::Refuse(std::unique_ptr<Waiting> waiting, const char* answer) {
  const int fd = waiting->connection->fd.Get();
  // A fresh socket's send buffer takes the short answer whole; what does not fit is dropped.
  // Over TLS only a session that is set up can carry it; one that is not is closed.
  if (TlsSession* tls = waiting->connection->tls.get()) {
    std::size_t put = 0;
    if (tls->established()) (void)tls->Write(answer, std::strlen(answer), put);
    tls->Close();
  } else {
    (void)!::send(fd, answer, std::strlen(answer), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  ::shutdown(fd, SHUT_WR);
  const std::size_t refused = static_cast<std::size_t>(std::count_if(
      waiting_.begin(), waiting_.end(), [](const auto& each) { return each->refused; }));
  if (refused >= limits_.connections) return;  // closed now: a flood lingers no longer
  waiting->refused = true;
  waiting->connection->pending.clear();
  waiting->deadline = Clock::now() + kRefusalLinger;
  Watch(std::move(waiting));
}

void ConnectionGate::ExpireAndAdopt() {
  const auto now = Clock::now();
  for (std::size_t i = 0; i < waiting_.size();) {
    if (waiting_[i]->deadline > now) {
      ++i;
      continue;
    }
    Forget(waiting_[i]->connection->fd.Get());
  }
  std::vector<std::unique_ptr<GateConnection>> returned;
  {
    std::lock_guard<std::mutex> lock(returned_mutex_);
    returned.swap(returned_);
  }
  for (auto& connection : returned) {
    auto waiting = std::make_unique<Waiting>();
    waiting->connection = std::move(connection);
    // A TLS session may hold the next request already, read from the socket with the last.
    waiting->idle = waiting->connection->pending.empty() &&
                    !(waiting->connection->tls && waiting->connection->tls->Buffered());
    waiting->deadline = now + (waiting->idle ? limits_.keep_alive_idle : limits_.head_time);
    // A client may have sent its next request already, behind the last one.
    Waiting* watched = Watch(std::move(waiting));
    if (watched != nullptr && !watched->idle) Read(*watched);
  }
}

}  // namespace k426b_host
