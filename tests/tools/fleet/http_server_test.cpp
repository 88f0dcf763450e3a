// The HTTP endpoint over loopback: its routes, read-only methods, limits and address parsing.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "tests/tools/fleet/demo_board.h"
#include "tools/host/http/http_server.h"
#include "tools/host/http/metrics.h"
#include "tools/host/status/status_board.h"

namespace k426b_host {

namespace {

using ::testing::HasSubstr;

TEST(ListenAddressTest, DefaultsToLoopbackAndChecksThePort) {
  ListenAddress address;
  ASSERT_EQ(ParseListenAddress("9426", address), "");
  EXPECT_EQ(address.host, "127.0.0.1");
  EXPECT_EQ(address.port, 9426);
  ASSERT_EQ(ParseListenAddress(":9427", address), "");
  EXPECT_EQ(address.host, "127.0.0.1");
  EXPECT_EQ(address.port, 9427);
  ASSERT_EQ(ParseListenAddress("0.0.0.0:80", address), "");
  EXPECT_EQ(address.host, "0.0.0.0");
  ASSERT_EQ(ParseListenAddress("localhost:9429", address), "");
  EXPECT_EQ(address.host, "localhost");
  ASSERT_EQ(ParseListenAddress("[::1]:9428", address), "");
  EXPECT_EQ(address.host, "::1");
  EXPECT_EQ(address.port, 9428);
  for (const char* bad : {"", ":", "0", "65536", "::1:80", "[::1]", "host:", "12ab"}) {
    EXPECT_THAT(ParseListenAddress(bad, address), HasSubstr("--listen expects")) << bad;
  }
}

class HttpServerTest : public ::testing::Test {
 protected:
  void Start(HttpServerLimits limits = {}) {
    server_ = std::make_unique<HttpServer>(limits);
    AddMetricsRoute(*server_, board_);
    server_->AddRoute("/extra", [](const HttpRequest&, HttpResponse& response) {
      response.SetContent("more", "text/plain");
    });
    ASSERT_EQ(server_->Start({"127.0.0.1", 0}), "");
    ASSERT_TRUE(server_->listening());
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    client_->set_connection_timeout(5);
    client_->set_read_timeout(5);
  }
  StatusBoard board_;
  std::unique_ptr<HttpServer> server_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(HttpServerTest, ServesHealthMetricsAndAddedRoutes) {
  for (const auto& site : DemoSites()) board_.Publish(site);
  Start();
  auto health = client_->Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  EXPECT_EQ(health->body, "ok\n");

  auto metrics = client_->Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200);
  EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_THAT(metrics->body, HasSubstr("k426b_line_up{site=\"south\"} 0\n"));

  auto extra = client_->Get("/extra");
  ASSERT_TRUE(extra);
  EXPECT_EQ(extra->body, "more");
  auto missing = client_->Get("/nothing");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  auto head = client_->Head("/healthz");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
}

TEST_F(HttpServerTest, IsReadOnlyAndRefusesLargeRequests) {
  Start();
  httplib::Result responses[] = {client_->Post("/metrics", "x", "text/plain"),
                                 client_->Put("/healthz", "x", "text/plain"),
                                 client_->Delete("/metrics")};
  for (const auto& response : responses) {
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 405);
    EXPECT_EQ(response->get_header_value("Allow"), "GET, HEAD");
  }
  // A body is refused before it is read.
  auto big = client_->Post("/metrics", std::string(64 * 1024, 'x'), "text/plain");
  ASSERT_TRUE(big);
  EXPECT_EQ(big->status, 405);
  auto long_header = client_->Get("/healthz", {{"X-Long", std::string(16 * 1024, 'x')}});
  EXPECT_TRUE(!long_header || long_header->status >= 400);
}

TEST_F(HttpServerTest, AnswersConnectionsBeyondTheLimitWith503) {
  HttpServerLimits limits;
  limits.workers = 1;
  limits.queued = 0;
  limits.read_timeout_s = 2;
  limits.keep_alive_timeout_s = 2;
  limits.connections = 1;
  Start(limits);
  // A client that connects and says nothing holds the one connection allowed.
  const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(server_->port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  auto refused = client_->Get("/healthz");
  ::close(silent);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
}

// Sends `request` on a fresh connection and returns all the server answers until it closes.
std::string Exchange(int port, const std::string& request) {
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{10, 0};
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string answer;
  if (::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::send(client, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    for (ssize_t got; (got = ::recv(client, buffer, sizeof buffer, 0)) > 0;)
      answer.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(client);
  return answer;
}

TEST_F(HttpServerTest, AnswersPipelinedRequestsAndRefusesOversizedHeads) {
  Start();
  // Two requests sent at once: both answered, in order, on the one connection.
  const std::string both =
      Exchange(server_->port(),
               "GET /extra HTTP/1.1\r\nHost: x\r\n\r\nGET /healthz HTTP/1.1\r\nHost: x\r\n"
               "Connection: close\r\n\r\n");
  const auto first = both.find("\r\n\r\nmore");
  ASSERT_NE(first, std::string::npos) << both;
  EXPECT_THAT(both.substr(first), HasSubstr("HTTP/1.1 200 OK\r\n"));
  EXPECT_THAT(both.substr(first), HasSubstr("\r\n\r\nok\n"));

  std::string many_lines = "GET /healthz HTTP/1.1\r\n";
  for (int i = 0; i < 100; ++i) many_lines += "X-" + std::to_string(i) + ": y\r\n";
  EXPECT_THAT(Exchange(server_->port(), many_lines + "\r\n"), HasSubstr("HTTP/1.1 431 "));
  EXPECT_THAT(Exchange(server_->port(), "GET /healthz HTTP/1.1\r\nContent-Length: 5\r\n\r\n"),
              HasSubstr("HTTP/1.1 413 "));
}

TEST_F(HttpServerTest, StopsAndRefusesABusyAddress) {
  Start();
  HttpServer second;
  EXPECT_THAT(second.Start({"127.0.0.1", server_->port()}),
              HasSubstr("cannot listen on 127.0.0.1:"));
  EXPECT_FALSE(second.listening());
  server_->Stop();
  EXPECT_FALSE(server_->listening());
  auto after = client_->Get("/healthz");
  EXPECT_FALSE(after);
}

}  // namespace

}  // namespace k426b_host
