// Many simulated sites served over TCP from one thread: each site's replies, their pace on the
// line and its client's comings and goings stay its own.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tools/sim/serve/tcp_server.h"

namespace {

using Clock = std::chrono::steady_clock;

// The reply a Teller gives: its name, then `length` letters counting through the alphabet.
std::string Told(const std::string& name, std::size_t length) {
  std::string reply = name;
  for (std::size_t i = 0; i < length; ++i) reply += static_cast<char>('a' + i % 26);
  return reply;
}

// Answers every chunk received with `count` replies of the same text.
class Teller : public k426b_sim::Responder {
 public:
  Teller(std::string name, std::size_t length, int count = 1)
      : reply_(Told(name, length)), count_(count) {}
  std::vector<std::string> OnBytes(const unsigned char*, std::size_t) override {
    return std::vector<std::string>(static_cast<std::size_t>(count_), reply_);
  }

 private:
  std::string reply_;
  int count_;
};

// A plain blocking client of one site.
class Client {
 public:
  explicit Client(unsigned short port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() { Close(); }
  bool connected() const { return connected_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Sends a query and notes when: the pace of the reply is measured from here.
  bool Ask(const std::string& query) {
    asked_ = Clock::now();
    return ::send(fd_, query.data(), query.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(query.size());
  }

  // Receives until `length` bytes have come in all, the server closes, or 10 s pass. Each time
  // bytes arrive, checks that none came before the line could have carried them.
  std::string Receive(std::size_t length, double byte_seconds = 0) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (received_.size() < length && Clock::now() < deadline) {
      pollfd watch{fd_, POLLIN, 0};
      if (::poll(&watch, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t count = ::recv(fd_, buffer, sizeof buffer, 0);
      if (count <= 0) break;
      received_.append(buffer, static_cast<std::size_t>(count));
      const double since = std::chrono::duration<double>(Clock::now() - asked_).count();
      EXPECT_GE(since, byte_seconds * static_cast<double>(received_.size() - 1))
          << received_.size() << " bytes came too early";
    }
    return received_;
  }

  // True when the server closes the connection within 10 s.
  bool Gone() {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      pollfd watch{fd_, POLLIN, 0};
      if (::poll(&watch, 1, 100) <= 0) continue;
      char buffer[4096];
      if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) return true;
    }
    return false;
  }

 private:
  int fd_;
  bool connected_ = false;
  Clock::time_point asked_;
  std::string received_;
};

// Sites on free ports with their responders, served from one thread until the fixture ends.
class TcpSitesTest : public ::testing::Test {
 protected:
  void Serve(std::vector<std::unique_ptr<k426b_sim::Responder>> responders,
             k426b_sim::ServeOptions options = {}) {
    responders_ = std::move(responders);
    std::vector<k426b_sim::TcpServer::Site> sites;
    for (auto& responder : responders_) {
      servers_.push_back(std::make_unique<k426b_sim::TcpServer>("127.0.0.1", 0));
      sites.push_back({servers_.back().get(), responder.get()});
    }
    options_ = options;
    clean_ = std::async(std::launch::async, [this, sites] {
      return k426b_sim::TcpServer::ServeAll(sites, options_, stop_);
    });
  }
  // Stops the loop; true when it ends, and ends cleanly, within 10 s.
  bool Stop() {
    stop_ = true;
    return clean_.wait_for(std::chrono::seconds(10)) == std::future_status::ready && clean_.get();
  }
  void TearDown() override {
    if (clean_.valid()) Stop();
  }
  unsigned short Port(std::size_t site) const { return servers_[site]->Port(); }

  std::vector<std::unique_ptr<k426b_sim::Responder>> responders_;
  std::vector<std::unique_ptr<k426b_sim::TcpServer>> servers_;
  k426b_sim::ServeOptions options_;
  std::atomic<bool> stop_{false};
  std::future<bool> clean_;
};

std::vector<std::unique_ptr<k426b_sim::Responder>> Tellers(std::size_t length, int count = 1) {
  std::vector<std::unique_ptr<k426b_sim::Responder>> tellers;
  tellers.push_back(std::make_unique<Teller>("north:", length, count));
  tellers.push_back(std::make_unique<Teller>("south:", length, count));
  return tellers;
}

k426b_sim::ServeOptions Paced() {
  k426b_sim::ServeOptions options;
  options.pace = true;
  options.baud = 115200;  // 11,520 bytes a second: 115 in a 10 ms packet
  options.packet_ms = 10;
  return options;
}

// Both sites reply at once, each two replies back to back: every byte comes no earlier than the
// line could carry it after the query, the second reply only after the first is off the line.
TEST_F(TcpSitesTest, SitesServedAtOnceAnswerEachTheirOwnAtTheLinesPace) {
  const std::size_t length = 400;
  Serve(Tellers(length, 2), Paced());
  const double byte_seconds = 10.0 / 115200;
  Client north(Port(0)), south(Port(1));
  ASSERT_TRUE(north.connected() && south.connected());
  ASSERT_TRUE(north.Ask("?") && south.Ask("?"));
  const std::size_t total = 2 * (length + 6);
  std::string from_south;
  std::thread south_reader([&] { from_south = south.Receive(total, byte_seconds); });
  const std::string from_north = north.Receive(total, byte_seconds);
  south_reader.join();
  EXPECT_EQ(from_north, Told("north:", length) + Told("north:", length));
  EXPECT_EQ(from_south, Told("south:", length) + Told("south:", length));
  EXPECT_TRUE(Stop());
}

// A client hanging up in the middle of a reply loses the rest of it; the other site goes on,
// and the site that lost its client serves the next one.
TEST_F(TcpSitesTest, AClientHangingUpMidReplyDisturbsNoOtherSite) {
  const std::size_t length = 3000;  // 260 ms on the line
  Serve(Tellers(length), Paced());
  Client south(Port(1));
  {
    Client north(Port(0));
    ASSERT_TRUE(north.connected() && south.connected());
    ASSERT_TRUE(north.Ask("?") && south.Ask("?"));
    ASSERT_FALSE(north.Receive(1).empty());  // the first packet is out
  }
  EXPECT_EQ(south.Receive(length + 6), Told("south:", length));
  Client north_again(Port(0));
  ASSERT_TRUE(north_again.Ask("?"));
  EXPECT_EQ(north_again.Receive(length + 6), Told("north:", length));
  EXPECT_TRUE(Stop());
}

// A reply larger than the socket holds, to a client that does not read yet, waits for it without
// holding up the other sites, and arrives whole.
TEST_F(TcpSitesTest, AClientSlowToReadHoldsUpNoOtherSite) {
  const std::size_t large = 8 << 20;
  std::vector<std::unique_ptr<k426b_sim::Responder>> tellers;
  tellers.push_back(std::make_unique<Teller>("large:", large));
  tellers.push_back(std::make_unique<Teller>("small:", 10));
  Serve(std::move(tellers));
  Client slow(Port(0)), quick(Port(1));
  ASSERT_TRUE(slow.Ask("?"));
  ASSERT_TRUE(quick.Ask("?"));
  EXPECT_EQ(quick.Receive(16), Told("small:", 10));
  EXPECT_EQ(slow.Receive(large + 6), Told("large:", large));
  EXPECT_TRUE(Stop());
}

// The stop ends the loop even with replies on the line and clients connected, and closes them.
TEST_F(TcpSitesTest, StopEndsTheLoopInTheMiddleOfAReply) {
  k426b_sim::ServeOptions options = Paced();
  options.baud = 1200;  // 3,000 bytes: 25 s on the line
  Serve(Tellers(3000), options);
  Client north(Port(0));
  ASSERT_TRUE(north.Ask("?"));
  ASSERT_FALSE(north.Receive(1).empty());
  EXPECT_TRUE(Stop());
  EXPECT_TRUE(north.Gone());
}

}  // namespace
