// The broker connection against a stand-in broker on 127.0.0.1 that accepts the connection and
// then reads everything (and acknowledges nothing) or reads nothing at all.

#include "tools/host/mqtt/mqtt_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace k426b_host {

namespace {

using Clock = std::chrono::steady_clock;

class StandInBroker {
 public:
  explicit StandInBroker(bool reads) : reads_(reads) {
    listening_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listening_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(listening_, 1) == 0 &&
        ::getsockname(listening_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~StandInBroker() {
    stop_ = true;
    thread_.join();
    ::close(listening_);
  }
  int port() const { return port_; }

 private:
  bool Wait(int fd) {
    pollfd watched{fd, POLLIN, 0};
    while (!stop_)
      if (::poll(&watched, 1, 50) > 0) return true;
    return false;
  }
  void Run() {
    if (!Wait(listening_)) return;
    const int client = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
    char buffer[65536];
    // The whole CONNECT comes in one piece on the loopback; any CONNECT is accepted.
    if (Wait(client) && ::recv(client, buffer, sizeof buffer, 0) > 0) {
      const unsigned char accepted[] = {0x20, 0x02, 0x00, 0x00};
      (void)!::send(client, accepted, sizeof accepted, MSG_NOSIGNAL);
      while (reads_ && Wait(client) && ::recv(client, buffer, sizeof buffer, 0) > 0) {
      }
      while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(client);
  }

  bool reads_;
  int listening_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Services `client` as its owner does until `done` holds or 10 s have passed.
bool ServiceUntil(MqttClient& client, const std::function<bool()>& done) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    const short events = static_cast<short>(POLLIN | (client.wants_write() ? POLLOUT : 0));
    pollfd watched{client.socket(), events, 0};
    if (watched.fd >= 0) {
      ::poll(&watched, 1, 10);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    client.Service((watched.revents & (POLLIN | POLLERR | POLLHUP)) != 0,
                   (watched.revents & POLLOUT) != 0, Clock::now());
  }
  return true;
}

MqttSettings SettingsFor(const StandInBroker& broker) {
  MqttSettings settings;
  settings.host = "127.0.0.1";
  settings.port = broker.port();
  return settings;
}

}  // namespace

TEST(MqttClient, ABrokerThatNeverAcknowledgesFillsTheConnectionOnlyUpToItsBound) {
  StandInBroker broker(/*reads=*/true);
  MqttClient client(SettingsFor(broker), "k426b-test", "k426b/test/status", "offline");
  ASSERT_TRUE(ServiceUntil(client, [&] { return client.connected(); }));
  int taken = 0;
  for (int i = 0; i < 1000; ++i) {
    if (client.Publish("k426b/test/alarm", std::string(200, 'a'), 1, false)) ++taken;
    ServiceUntil(client, [&] { return !client.wants_write(); });
  }
  EXPECT_EQ(taken, 256);
  EXPECT_TRUE(client.connected());
}

TEST(MqttClient, MessagesWrittenAtOnceDoNotCountAgainstTheBound) {
  StandInBroker broker(/*reads=*/true);
  MqttClient client(SettingsFor(broker), "k426b-test", "k426b/test/status", "offline");
  ASSERT_TRUE(ServiceUntil(client, [&] { return client.connected(); }));
  int taken = 0;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_TRUE(ServiceUntil(client, [&] {
      return client.Publish("k426b/test/state", std::string(100, 's'), 0, false);
    })) << "refused after " << taken;
    ++taken;
  }
  EXPECT_EQ(taken, 2000);
}

TEST(MqttClient, ABrokerThatReadsNothingLeavesTheMessagesWithTheOwner) {
  StandInBroker broker(/*reads=*/false);
  MqttClient client(SettingsFor(broker), "k426b-test", "k426b/test/status", "offline");
  ASSERT_TRUE(ServiceUntil(client, [&] { return client.connected(); }));
  int taken = 0;
  for (int i = 0; i < 20000 && taken == i; ++i) {
    if (client.Publish("k426b/test/state", std::string(4096, 's'), 0, false)) ++taken;
    client.Service(false, true, Clock::now());
  }
  // The socket's buffers take a few megabytes; the rest waits with the owner.
  EXPECT_LT(taken, 20000);
  EXPECT_TRUE(client.connected());
}

}  // namespace k426b_host
