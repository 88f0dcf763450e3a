// The simulator on a real pseudo-terminal, and the command-line tool's arguments.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/sim/sim_test_support.h"
#include "tools/sim/engine/golden_replies.h"
#include "tools/sim/serve/serial_link.h"

namespace {

using k426b_sim::DefaultScenario;
using k426b_sim::PtyServer;
using k426b_sim::Simulator;

// Reads up to and including CR; gives up when nothing arrives for five seconds (a hang guard,
// not a timing check).
std::string ReadFrame(int fd) {
  std::string text;
  while (text.empty() || text.back() != '\r') {
    pollfd watch{fd, POLLIN, 0};
    if (::poll(&watch, 1, 5000) <= 0) break;
    char byte;
    if (::read(fd, &byte, 1) != 1) break;
    text.push_back(byte);
  }
  return text;
}

TEST(SerialLink, ASimulatorOnAPseudoTerminalAnswersTheDriversSideInRawMode) {
  PtyServer server(std::make_unique<Simulator>(DefaultScenario()));
  const int fd = ::open(server.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0) << server.SlavePath();
  termios settings{};
  ASSERT_EQ(tcgetattr(fd, &settings), 0);
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0u) << "raw before the path is handed out";

  for (const auto& [cid1, cid2] : {std::pair{0x40, 0x51}, std::pair{0x41, 0x44}}) {
    const std::string query = sim_test::QueryText(cid1, cid2);
    ASSERT_EQ(::write(fd, query.data(), query.size()), static_cast<ssize_t>(query.size()));
    const auto events = sim_test::Decode(ReadFrame(fd));
    ASSERT_EQ(events.size(), 1u);
    ASSERT_TRUE(events[0].ok);
    EXPECT_EQ(events[0].frame.cid1, cid1);
  }
  ::close(fd);
  server.Stop();
}

int RunTool(const std::string& arguments) {
  const std::string command = std::string(K426B_SIM_BINARY) + " " + arguments + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SimTool, HelpSucceedsAndBadArgumentsOrScenariosEndWithStatusTwo) {
  const std::string examples = std::string(K426B_SOURCE_DIR) + "/examples/";
  EXPECT_EQ(RunTool("--help"), 0);
  EXPECT_EQ(RunTool("--print-scenario --scenario " + examples + "sim-alarms.json"), 0);
  const std::vector<std::string> bad = {
      "",
      "--pty --port /dev/null",
      "--pty --frobnicate",
      "--pty --fault-rate 1.5",
      "--pty --fault-kinds noise,lightning",
      "--pty --seed -3",
      "--pty --baud",
      "--pty --scenario /nonexistent.json",
      "--pty --scenario " + examples + "k426b.json",
      "--pty --replay /nonexistent.jsonl",
      "--pty --replay x --fault-rate 0.1",
      "--tcp 127.0.0.1:0 --packet-ms 10",
      "--tcp 127.0.0.1:0 --pace --packet-ms 1001",
  };
  for (const std::string& arguments : bad) EXPECT_EQ(RunTool(arguments), 2) << arguments;
}

// A paced reply leaves in packets of what the line carries in the packet time, none before its
// last byte is due on the line, and the sender holds the line until the whole reply is out.
// Only lower bounds on time are checked: a loaded machine can make the sender late, not early.
TEST(SerialLink, APacedReplyLeavesInPacketsNoneBeforeItsBytesCrossedTheLine) {
  using Clock = std::chrono::steady_clock;
  const std::string reply(300, 'x');
  struct Packet {
    std::size_t length;
    Clock::duration at;
  };
  std::vector<Packet> packets;
  Clock::time_point start;
  const auto record = [&](const char*, std::size_t length) {
    packets.push_back({length, Clock::now() - start});
    return true;
  };
  k426b_sim::ServeOptions options;
  start = Clock::now();
  ASSERT_TRUE(k426b_sim::SendPaced(reply, options, record));
  ASSERT_EQ(packets.size(), 1u) << "unpaced: the whole reply at once";

  options.pace = true;
  options.baud = 115200;  // 11,520 bytes a second: 115 in 10 ms
  options.packet_ms = 10;
  packets.clear();
  start = Clock::now();
  ASSERT_TRUE(k426b_sim::SendPaced(reply, options, record));
  const Clock::duration took = Clock::now() - start;
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0].length, 115u);
  EXPECT_EQ(packets[1].length, 115u);
  EXPECT_EQ(packets[2].length, 70u);
  const auto byte_time = std::chrono::duration<double>(10.0 / options.baud);
  std::size_t sent = 0;
  for (const Packet& packet : packets) {
    sent += packet.length;
    EXPECT_GE(std::chrono::duration<double>(packet.at).count(), byte_time.count() * (sent - 1));
  }
  EXPECT_GE(std::chrono::duration<double>(took).count(), byte_time.count() * reply.size());

  // A failed write ends the reply.
  int calls = 0;
  EXPECT_FALSE(k426b_sim::SendPaced(reply, options, [&](const char*, std::size_t) {
    ++calls;
    return false;
  }));
  EXPECT_EQ(calls, 1);
}

}  // namespace
