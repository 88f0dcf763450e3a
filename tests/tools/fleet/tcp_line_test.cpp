// The TCP line against a listener on 127.0.0.1, and the simulator's TCP server behind it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cctype>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/scratch_folder.h"
#include "tools/host/line/tcp_line.h"
#include "tools/sim/serve/fleet.h"
#include "tools/sim/serve/tcp_server.h"

namespace k426b_host {

namespace {

using Clock = std::chrono::steady_clock;

TEST(TcpAddressTest, AcceptsHostNamesAndAddresses) {
  const struct {
    const char* text;
    const char* host;
    unsigned short port;
  } good[] = {{"tcp://127.0.0.1:4001", "127.0.0.1", 4001},
              {"tcp://serial-server-7.example.net:1", "serial-server-7.example.net", 1},
              {"tcp://localhost:65535", "localhost", 65535},
              {"tcp://[::1]:4001", "::1", 4001},
              {"tcp://[fe80::1:2]:23", "fe80::1:2", 23}};
  for (const auto& item : good) {
    NetAddress address;
    EXPECT_EQ(ParseTcpAddress(item.text, address), "") << item.text;
    EXPECT_EQ(address.host, item.host);
    EXPECT_EQ(address.port, item.port);
  }
}

TEST(TcpAddressTest, RefusesMalformedAddressesWithTheReason) {
  const struct {
    const char* text;
    const char* reason;
  } bad[] = {{"127.0.0.1:4001", "tcp://"},
             {"tcp://127.0.0.1", "port is missing"},
             {"tcp://127.0.0.1:", "port is missing"},
             {"tcp://:4001", "host is missing"},
             {"tcp://127.0.0.1:0", "1 to 65535"},
             {"tcp://127.0.0.1:65536", "1 to 65535"},
             {"tcp://127.0.0.1:+80", "1 to 65535"},
             {"tcp://127.0.0.1:4001/x", "1 to 65535"},
             {"tcp://999.1.1.1:80", "not an IPv4 address"},
             {"tcp://1.2.3:80", "not an IPv4 address"},
             {"tcp://::1:80", "brackets"},
             {"tcp://[::1:80", "']'"},
             {"tcp://[::g]:80", "not an IPv6 address"},
             {"tcp://[::1]80", "port is missing"},
             {"tcp://-bad.example:80", "not a host name"},
             {"tcp://under_score:80", "not a host name"},
             {"tcp://a..b:80", "not a host name"}};
  for (const auto& item : bad) {
    NetAddress address;
    const std::string problem = ParseTcpAddress(item.text, address);
    EXPECT_NE(problem.find(item.reason), std::string::npos) << item.text << ": " << problem;
    EXPECT_NE(problem.find(item.text), std::string::npos) << problem;
  }
}

// A listening socket on 127.0.0.1 with a free port.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(::listen(fd_, 4), 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() { ::close(fd_); }
  int Accept() { return ::accept(fd_, nullptr, nullptr); }
  std::string Url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  unsigned short port() const { return port_; }

 private:
  int fd_ = -1;
  unsigned short port_ = 0;
};

// Reads until `wanted` bytes arrived, the line is gone or 5 s have passed.
Line::ReadResult ReadAll(Line& line, std::string& text, std::size_t wanted) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  unsigned char buffer[256];
  while (text.size() < wanted && Clock::now() < deadline) {
    std::size_t received = 0;
    const auto result = line.Read(buffer, sizeof buffer, received, 100);
    if (result == Line::ReadResult::kGone) return result;
    text.append(reinterpret_cast<char*>(buffer), received);
  }
  return text.size() >= wanted ? Line::ReadResult::kData : Line::ReadResult::kNothing;
}

Line::ReadResult ReadUntilGone(Line& line) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  unsigned char buffer[64];
  while (Clock::now() < deadline) {
    std::size_t received = 0;
    const auto result = line.Read(buffer, sizeof buffer, received, 100);
    if (result == Line::ReadResult::kGone) return result;
  }
  return Line::ReadResult::kNothing;
}

TEST(TcpLineTest, ExchangesBytesAndReportsThePeerClosingAsGone) {
  Listener listener;
  TcpLine line(listener.Url());
  ASSERT_EQ(line.Open(), "");
  EXPECT_TRUE(line.is_open());
  EXPECT_GE(line.fd(), 0);
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);

  const std::string query = "~20014041E00200FD0F\r";
  ASSERT_TRUE(line.Write(reinterpret_cast<const unsigned char*>(query.data()), query.size()));
  char got[64] = {};
  std::size_t have = 0;
  while (have < query.size()) {
    const ssize_t n = ::read(peer, got + have, sizeof got - have);
    ASSERT_GT(n, 0);
    have += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(std::string(got, have), query);

  std::size_t received = 0;
  unsigned char buffer[16];
  EXPECT_EQ(line.Read(buffer, sizeof buffer, received, 0), Line::ReadResult::kNothing);
  ASSERT_EQ(::write(peer, "~reply\r", 7), 7);
  std::string reply;
  EXPECT_EQ(ReadAll(line, reply, 7), Line::ReadResult::kData);
  EXPECT_EQ(reply, "~reply\r");

  ::close(peer);
  EXPECT_EQ(ReadUntilGone(line), Line::ReadResult::kGone);
  // Writing to a closed connection fails (a reset), without SIGPIPE ending the process.
  bool written = true;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (written && Clock::now() < deadline) {
    written = line.Write(reinterpret_cast<const unsigned char*>(query.data()), query.size());
    if (written) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(written);

  line.Close();
  EXPECT_FALSE(line.is_open());
  EXPECT_EQ(line.fd(), -1);
  EXPECT_EQ(line.Read(buffer, sizeof buffer, received, 0), Line::ReadResult::kGone);
  EXPECT_FALSE(line.Write(buffer, 1));
}

TEST(TcpLineTest, OpenNamesWhyItCannotConnect) {
  unsigned short closed_port;
  { closed_port = Listener().port(); }  // free again, nothing listens there
  TcpLine refused("tcp://127.0.0.1:" + std::to_string(closed_port));
  const std::string reason = refused.Open();
  EXPECT_NE(reason.find("cannot connect to tcp://127.0.0.1:"), std::string::npos) << reason;
  EXPECT_NE(reason.find("refused"), std::string::npos) << reason;
  EXPECT_FALSE(refused.is_open());

  TcpLine malformed("tcp://127.0.0.1:99999");
  EXPECT_NE(malformed.Open().find("malformed address"), std::string::npos);
  EXPECT_FALSE(malformed.is_open());
}

// Answers each chunk with the chunk upper-cased.
class Shouter : public k426b_sim::Responder {
 public:
  std::vector<std::string> OnBytes(const unsigned char* bytes, std::size_t length) override {
    std::string text(reinterpret_cast<const char*>(bytes), length);
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return {text};
  }
};

std::string Exchange(Line& line, const std::string& text) {
  if (!line.Write(reinterpret_cast<const unsigned char*>(text.data()), text.size())) return "";
  std::string reply;
  ReadAll(line, reply, text.size());
  return reply;
}

TEST(SimTcpServerTest, ServesOneClientAndANewClientReplacesTheOld) {
  k426b_sim::TcpServer server("127.0.0.1", 0);
  ASSERT_GT(server.Port(), 0);
  EXPECT_EQ(server.Address(), "127.0.0.1:" + std::to_string(server.Port()));
  Shouter shouter;
  std::atomic<bool> stop{false};
  bool clean = false;
  std::thread serving([&] { clean = server.Serve(shouter, {}, stop); });

  const std::string url = "tcp://" + server.Address();
  TcpLine first(url);
  ASSERT_EQ(first.Open(), "");
  EXPECT_EQ(Exchange(first, "abc"), "ABC");

  TcpLine second(url);
  ASSERT_EQ(second.Open(), "");
  EXPECT_EQ(Exchange(second, "def"), "DEF");
  EXPECT_EQ(ReadUntilGone(first), Line::ReadResult::kGone);

  // The client leaving does not end the server: the next one is served.
  second.Close();
  TcpLine third(url);
  ASSERT_EQ(third.Open(), "");
  EXPECT_EQ(Exchange(third, "ghi"), "GHI");

  stop = true;
  serving.join();
  EXPECT_TRUE(clean);
}

TEST(SimTcpServerTest, SplitsListenAddresses) {
  std::string host;
  unsigned short port = 1;
  k426b_sim::SplitAddress("127.0.0.1:0", host, port);
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 0);
  k426b_sim::SplitAddress("[::1]:4001", host, port);
  EXPECT_EQ(host, "::1");
  EXPECT_EQ(port, 4001);
  for (const char* bad : {"4001", ":4001", "127.0.0.1:", "127.0.0.1:65536", "[::1]4001", "h:x"})
    EXPECT_THROW(k426b_sim::SplitAddress(bad, host, port), std::invalid_argument) << bad;
}

TEST(SimFleetTest, EachSiteGetsItsOwnVoltages) {
  const k426b_sim::Scenario base = k426b_sim::DefaultScenario();
  const k426b_sim::Scenario first = k426b_sim::SiteScenario(base, 0);
  const k426b_sim::Scenario third = k426b_sim::SiteScenario(base, 2);
  EXPECT_EQ(*first.ac_units[0].screens[0].a, *base.ac_units[0].screens[0].a);
  EXPECT_FLOAT_EQ(*third.ac_units[0].screens[0].a, *base.ac_units[0].screens[0].a + 2);
  EXPECT_FLOAT_EQ(*third.ac_units[1].screens[0].c, *base.ac_units[1].screens[0].c + 2);
  EXPECT_FLOAT_EQ(*third.dc_units[0].v, *base.dc_units[0].v + 0.2f);
  EXPECT_FLOAT_EQ(*third.rectifier.group_value, *base.rectifier.group_value + 0.2f);
  EXPECT_EQ(*third.ac_units[0].screens[0].f, *base.ac_units[0].screens[0].f);  // not a voltage
}

TEST(SimFleetTest, ServesEverySiteOnConsecutivePorts) {
  unsigned short port;
  { port = Listener().port(); }
  if (port > 65000) GTEST_SKIP() << "free port too high for three consecutive ports";
  std::atomic<bool> stop{false};
  std::ostringstream shown;
  k426b_sim::FleetOptions options;
  options.sites = 3;
  options.tcp = "127.0.0.1:" + std::to_string(port);
  int status = -1;
  std::thread fleet([&] {
    try {
      status = k426b_sim::RunFleet(options, [](int) { return std::make_unique<Shouter>(); },
                                   shown, stop);
    } catch (const std::exception&) {
      status = 99;  // a port of the three was taken meanwhile
    }
  });
  std::string url;
  for (int site = 0; site < 3; ++site) {
    TcpLine line("tcp://127.0.0.1:" + std::to_string(port + site));
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    std::string reason = line.Open();
    while (!reason.empty() && Clock::now() < deadline && status == -1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      reason = line.Open();
    }
    if (status == 99) break;
    ASSERT_EQ(reason, "");
    EXPECT_EQ(Exchange(line, "site"), "SITE");
  }
  stop = true;
  fleet.join();
  if (status == 99) GTEST_SKIP() << "a port was taken by another process";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(shown.str(), "127.0.0.1:" + std::to_string(port) + "\n127.0.0.1:" +
                             std::to_string(port + 1) + "\n127.0.0.1:" +
                             std::to_string(port + 2) + "\n");
}

TEST(SimFleetTest, LinksEachPseudoTerminalAndRemovesTheLinksAtTheEnd) {
  const ScratchFolder scratch("fleet");
  const std::string base = (scratch / "site").string();
  std::atomic<bool> stop{false};
  std::ostringstream shown;
  k426b_sim::FleetOptions options;
  options.sites = 2;
  options.link = base;
  int status = -1;
  std::thread fleet([&] {
    status = k426b_sim::RunFleet(options, [](int) { return std::make_unique<Shouter>(); }, shown,
                                 stop);
  });
  // The links exist once both are made; the lines are printed after that.
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (::access((base + "-1").c_str(), F_OK) != 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  char target[128] = {};
  const ssize_t length = ::readlink((base + "-1").c_str(), target, sizeof target - 1);
  stop = true;
  fleet.join();
  EXPECT_EQ(status, 0);
  ASSERT_GT(length, 0);
  EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;
  EXPECT_EQ(shown.str(), base + "-0\n" + base + "-1\n");
  EXPECT_NE(::access((base + "-0").c_str(), F_OK), 0);  // removed
}

}  // namespace

}  // namespace k426b_host
