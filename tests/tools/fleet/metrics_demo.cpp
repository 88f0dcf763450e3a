// A stand-in for the multi-site host while testing the metrics pipeline: serves a board with the
// two demo sites on /metrics, or prints their exposition.
//
//   metrics_demo --print
//   metrics_demo --listen ADDR:PORT   (PORT 0: a free one; prints "listening on HOST:PORT")

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <string>

#include "tests/tools/fleet/demo_board.h"
#include "tools/host/http/http_server.h"
#include "tools/host/http/metrics.h"
#include "tools/host/status/status_board.h"

using k426b_host::AddMetricsRoute;
using k426b_host::DemoSites;
using k426b_host::HttpServer;
using k426b_host::ListenAddress;
using k426b_host::ParseListenAddress;
using k426b_host::RenderMetrics;
using k426b_host::StatusBoard;

int main(int argc, char** argv) {
  StatusBoard board;
  for (const auto& site : DemoSites()) board.Publish(site);
  if (argc == 2 && std::strcmp(argv[1], "--print") == 0) {
    std::cout << RenderMetrics(board);
    return 0;
  }
  ListenAddress address;
  if (argc != 3 || std::strcmp(argv[1], "--listen") != 0) {
    std::cerr << "usage: metrics_demo --print | --listen ADDR:PORT\n";
    return 2;
  }
  // HOST:0 asks for a free port, which --listen itself does not offer.
  const std::string listen = argv[2];
  if (listen.size() > 2 && listen.compare(listen.size() - 2, 2, ":0") == 0) {
    address.host = listen.substr(0, listen.size() - 2);
  } else if (auto problem = ParseListenAddress(listen, address); !problem.empty()) {
    std::cerr << problem << "\n";
    return 2;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before the server's threads start

  HttpServer server;
  AddMetricsRoute(server, board);
  if (auto problem = server.Start(address); !problem.empty()) {
    std::cerr << problem << "\n";
    return 1;
  }
  std::cout << "listening on " << address.host << ":" << server.port() << std::endl;
  int received = 0;
  sigwait(&signals, &received);
  server.Stop();
  return 0;
}
