// k426b-sim: the power system's side of the serial line, simulated.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <json/writer.h>
#include <CLI/CLI.hpp>

#include "tools/common/baud.h"
#include "tools/common/stop_signals.h"
#include "tools/common/version.h"

#include "tools/sim/engine/record_file.h"
#include "tools/sim/engine/simulator.h"
#include "tools/sim/serve/fleet.h"
#include "tools/sim/serve/serial_link.h"

namespace {

using namespace k426b_sim;

constexpr const char* kDescription =
    "Answers the poll cycle of the k426b driver like a DC power system.\n"
    "Exit status: 0 after SIGINT or SIGTERM, 1 when the line fails or the port is in use,\n"
    "2 for bad arguments or a bad scenario or record file.";

struct Arguments {
  bool pty = false;
  std::optional<std::string> port;
  std::optional<std::string> link;
  unsigned baud = 9600;
  std::optional<std::string> scenario;
  std::optional<std::string> replay;
  bool pace = false;
  unsigned packet_ms = 0;
  double fault_rate = 0.0;
  std::vector<FaultKind> fault_kinds;
  uint32_t seed = 1;
  bool trace = false;
  bool print_scenario = false;
  std::optional<std::string> tcp;  // ADDR:PORT served as a serial device server does
  int sites = 1;                   // power systems served from this one process
  // Several power systems on each line: their addresses, each with its own scenario file or
  // (empty) that of --scenario.
  std::vector<std::pair<int, std::string>> addresses;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses the command line; `output` receives --help or --version text (then nothing runs).
Arguments ParseArguments(int argc, char** argv, std::string& output) {
  Arguments args;
  std::string port, link, scenario, replay, fault_kinds, tcp, addresses;
  CLI::App app(kDescription, "k426b-sim");
  app.set_version_flag("--version", std::string("k426b-sim ") + K426B_VERSION_STRING);
  auto* pty =
      app.add_flag("--pty", args.pty, "serve a new pseudo-terminal; its path is printed on stdout");
  auto* port_option =
      app.add_option("--port", port, "serve a serial device (8N1, no flow control)")->excludes(pty);
  auto* tcp_option =
      app.add_option("--tcp", tcp,
                     "serve over TCP as a serial device server does (one client at a time; a new "
                     "client replaces the old); PORT 0 picks a free port; the address is printed")
          ->excludes(pty)
          ->excludes(port_option);
  app.add_option("--sites", args.sites,
                 "serve N power systems (with --tcp on ports PORT..PORT+N-1; with --pty one "
                 "terminal each); site i's voltages are raised by i V (AC) and i/10 V (DC, "
                 "rectifier group), its seed is --seed plus i")
      ->check(CLI::Range(1, 1000));
  app.add_option("--addresses", addresses,
                 "several power systems on each line, one for each address (comma-separated, "
                 "0-254); ADDR=FILE gives that one its own scenario file");
  app.add_option("--link", link,
                 "with --pty: a symbolic link PATH to the pseudo-terminal, replaced on restart "
                 "(with --sites N: PATH-0 .. PATH-(N-1))")
      ->needs(pty);
  app.add_option("--baud", args.baud, "line speed of --port and of --pace (default 9600)")
      ->check(CLI::IsMember(SupportedBauds()));
  auto* scenario_option = app.add_option(
      "--scenario", scenario, "scenario JSON (default: built in, as examples/sim-default.json)");
  auto* replay_option =
      app.add_option("--replay", replay,
                     "answer from a `k426b-host --record` file instead of a scenario")
          ->excludes(scenario_option);
  auto* pace = app.add_flag("--pace", args.pace,
                            "hold each byte sent to the line's timing (10 bit times a byte)");
  app.add_option("--packet-ms", args.packet_ms,
                 "with --pace: hand the bytes over in packets of what the line carries in MS "
                 "milliseconds, as a serial device server forwards them (default 0: byte by byte)")
      ->check(CLI::Range(0u, 1000u))
      ->needs(pace);
  auto* rate = app.add_option("--fault-rate", args.fault_rate,
                              "spoil a share R (0 to 1) of the replies with a random fault")
                   ->check(CLI::Range(0.0, 1.0))
                   ->excludes(replay_option);
  app.add_option(
         "--fault-kinds", fault_kinds,
         "comma-separated faults for --fault-rate (default: all of bad_chksum, bad_lchksum,"
         " no_reply, truncated, noise, wrong_cid1, wrong_unit_count, rtn_error, overlong_count;"
         " foreign_address only when named)")
      ->excludes(replay_option);
  (void)rate;
  app.add_option("--seed", args.seed, "seed of the fault generator (default 1)");
  app.add_flag("--trace", args.trace, "every query, answer, change and fault on stderr");
  auto* print = app.add_flag("--print-scenario", args.print_scenario,
                             "print the effective scenario as JSON and exit");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    output = app.help();
    return args;
  } catch (const CLI::CallForVersion&) {
    output = std::string("k426b-sim ") + K426B_VERSION_STRING + "\n";
    return args;
  } catch (const CLI::ParseError& error) {
    throw UsageError(error.what());
  }
  if (port_option->count() > 0) args.port = port;
  if (!link.empty()) args.link = link;
  if (!scenario.empty()) args.scenario = scenario;
  if (!replay.empty()) args.replay = replay;
  if (tcp_option->count() > 0) args.tcp = tcp;
  try {
    args.addresses = ParseAddressList(addresses);
  } catch (const std::invalid_argument& error) {
    throw UsageError(std::string("--addresses: ") + error.what());
  }
  if (!args.addresses.empty() && args.replay)
    throw UsageError("--addresses cannot be combined with --replay");
  std::istringstream list(fault_kinds);
  std::string name;
  while (std::getline(list, name, ',')) {
    const std::optional<FaultKind> kind = FaultFromName(name);
    if (!kind) throw UsageError("unknown fault \"" + name + "\" in --fault-kinds");
    args.fault_kinds.push_back(*kind);
  }
  if (print->count() > 0) return args;
  if (int(args.pty) + int(args.port.has_value()) + int(args.tcp.has_value()) != 1)
    throw UsageError("give exactly one of --pty, --port DEVICE and --tcp ADDR:PORT");
  if (args.sites > 1 && args.port) throw UsageError("--sites needs --pty or --tcp");
  return args;
}

// The replay, telling once on stderr when the recording has run out: from then on queries go
// unanswered, which a host shows as a silent line.
class ToldReplayer : public Responder {
 public:
  ToldReplayer(std::unique_ptr<Replayer> replayer, std::string path)
      : replayer_(std::move(replayer)), path_(std::move(path)) {}

  std::vector<std::string> OnBytes(const unsigned char* bytes, std::size_t length) override {
    std::vector<std::string> answers = replayer_->OnBytes(bytes, length);
    if (!told_ && replayer_->ExchangesLeft() == 0) {
      told_ = true;
      std::cerr << "k426b-sim: the recording " << path_ << " has run out after "
                << replayer_->ExchangeCount() << " exchanges; further queries go unanswered"
                << std::endl;
    }
    return answers;
  }

 private:
  std::unique_ptr<Replayer> replayer_;
  std::string path_;
  bool told_ = false;
};

// A stable path to the pseudo-terminal: the link is made beside the target name and renamed
// over PATH, so a host never sees it missing; removed at exit while it still points to us.
class PtyLink {
 public:
  PtyLink(std::string path, const std::string& target) : path_(std::move(path)), target_(target) {
    const std::string temporary = path_ + ".new";
    std::filesystem::remove(temporary);
    std::filesystem::create_symlink(target, temporary);
    std::filesystem::rename(temporary, path_);
  }
  ~PtyLink() {
    std::error_code error;
    if (std::filesystem::read_symlink(path_, error) == target_)
      std::filesystem::remove(path_, error);
  }

 private:
  std::string path_;
  std::filesystem::path target_;
};

// The serving loops look at `stop` at least every 100 ms; a thread of this one's own waits for
// SIGINT or SIGTERM and sets it.
class StopOnSignal {
 public:
  StopOnSignal() : thread_([this] { Watch(); }) {}
  ~StopOnSignal() {
    done_ = true;
    signals_.Wake();
    thread_.join();
  }
  StopOnSignal(const StopOnSignal&) = delete;
  StopOnSignal& operator=(const StopOnSignal&) = delete;

  const std::atomic<bool>& stop() const { return stop_; }

 private:
  void Watch() {
    while (!done_) {
      if (signals_.Wait(std::chrono::steady_clock::time_point::max()) ==
          StopSignals::Taken::kStop) {
        stop_ = true;
        return;
      }
    }
  }

  StopSignals signals_;  // first: the thread below inherits the blocked signals
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

std::string Printable(const std::string& bytes) {
  std::string text;
  for (char c : bytes) {
    if (c == '\r')
      text += "\\r";
    else if (c >= 0x20 && c < 0x7F)
      text += c;
    else
      text += "\\x" + zvk::ToHex(reinterpret_cast<const unsigned char*>(&c), 1);
  }
  return text;
}

std::unique_ptr<Responder> MakeSimulator(const Arguments& args, Scenario scenario,
                                         uint32_t seed_offset);

// Site 0 is the power system of the scenario as given; further sites differ (SiteScenario).
std::unique_ptr<Responder> MakeResponder(const Arguments& args, int site) {
  if (args.replay) {
    auto replayer = std::make_unique<Replayer>(ReadRecordFile(*args.replay));
    std::cerr << "k426b-sim: replaying " << replayer->ExchangeCount() << " exchanges from "
              << *args.replay << "\n";
    return std::make_unique<ToldReplayer>(std::move(replayer), *args.replay);
  }
  Scenario scenario = args.scenario ? LoadScenarioFile(*args.scenario) : DefaultScenario();
  if (!args.addresses.empty()) {
    // One power system for each address on the line, each with a generator of its own.
    std::vector<std::unique_ptr<Responder>> devices;
    for (std::size_t i = 0; i < args.addresses.size(); ++i) {
      const auto& [address, file] = args.addresses[i];
      Scenario own = file.empty() ? scenario : LoadScenarioFile(file);
      own.address = address;
      devices.push_back(MakeSimulator(args, SiteScenario(own, site),
                                      static_cast<uint32_t>(site) * 256 + address));
    }
    return std::make_unique<SharedLine>(std::move(devices));
  }
  return MakeSimulator(args, SiteScenario(scenario, site), static_cast<uint32_t>(site));
}

std::unique_ptr<Responder> MakeSimulator(const Arguments& args, Scenario scenario,
                                         uint32_t seed_offset) {
  SimulatorOptions options;
  options.fault_rate = args.fault_rate;
  options.rate_kinds = args.fault_kinds;
  options.seed = args.seed + seed_offset;
  if (args.trace) {
    const std::string who =
        args.addresses.empty() ? "sim: " : "sim " + std::to_string(scenario.address) + ": ";
    options.trace = [who](const std::string& line) { std::cerr << who << line << "\n"; };
  }
  return std::make_unique<Simulator>(std::move(scenario), options);
}

int Run(const Arguments& args) {
  ServeOptions serve;
  serve.pace = args.pace;
  serve.packet_ms = args.packet_ms;
  serve.baud = args.baud;
  if (args.trace) {
    serve.trace = [](const char* direction, const std::string& bytes) {
      std::cerr << direction << ": " << Printable(bytes) << "\n";
    };
  }

  StopOnSignal signals;
  const std::atomic<bool>& stop = signals.stop();
  // TCP, or more than one site.
  if (args.tcp || args.sites > 1) {
    FleetOptions fleet;
    fleet.sites = args.sites;
    fleet.tcp = args.tcp;
    fleet.link = args.link;
    fleet.serve = serve;
    try {
      return RunFleet(
          fleet, [&](int site) { return MakeResponder(args, site); }, std::cout, stop);
    } catch (const std::invalid_argument& error) {
      std::cerr << "k426b-sim: " << error.what() << "\n";
      return 2;
    }
  }
  std::unique_ptr<Responder> responder = MakeResponder(args, 0);
  if (args.pty) {
    Pty pty = OpenPty();
    std::optional<PtyLink> link;
    try {
      if (args.link) link.emplace(*args.link, pty.slave_path);
    } catch (const std::filesystem::filesystem_error& error) {
      std::cerr << "k426b-sim: cannot make the link " << *args.link << ": "
                << error.code().message() << "\n";
      return 1;
    }
    std::cout << pty.slave_path << std::endl;
    if (!Serve(pty.master.Get(), *responder, serve, stop)) {
      std::cerr << "k426b-sim: the pseudo-terminal failed\n";
      return 1;
    }
    return 0;
  }

  // A serial device that disappears (a USB adapter pulled) is reopened with back-off.
  auto backoff = std::chrono::milliseconds(250);
  bool opened_once = false;
  while (!stop) {
    try {
      Fd port = OpenSerialPort(*args.port, args.baud);
      if (!opened_once)
        std::cerr << "k426b-sim: serving " << *args.port << " at " << args.baud << " baud\n";
      opened_once = true;
      backoff = std::chrono::milliseconds(250);
      if (Serve(port.Get(), *responder, serve, stop)) return 0;
      std::cerr << "k426b-sim: " << *args.port << " failed; reopening\n";
    } catch (const std::invalid_argument& error) {
      std::cerr << "k426b-sim: " << error.what() << "\n";
      return 2;
    } catch (const std::system_error& error) {
      if (!opened_once) {
        std::cerr << "k426b-sim: " << error.what() << "\n";
        return 1;
      }
    }
    std::this_thread::sleep_for(backoff);
    backoff = std::min(backoff * 2, std::chrono::milliseconds(5000));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  std::string output;
  try {
    args = ParseArguments(argc, argv, output);
  } catch (const UsageError& error) {
    std::cerr << "k426b-sim: " << error.what() << "\nRun 'k426b-sim --help' for the options.\n";
    return 2;
  }
  if (!output.empty()) {
    std::cout << output;
    return 0;
  }
  try {
    if (args.print_scenario) {
      const Scenario scenario =
          args.scenario ? LoadScenarioFile(*args.scenario) : DefaultScenario();
      Json::StreamWriterBuilder builder;
      builder["indentation"] = "  ";
      builder["precision"] = 9;
      std::cout << Json::writeString(builder, ScenarioToJson(scenario)) << "\n";
      return 0;
    }
    return Run(args);
  } catch (const ScenarioError& error) {
    std::cerr << "k426b-sim: " << error.what() << "\n";
    return 2;
  } catch (const std::system_error& error) {
    std::cerr << "k426b-sim: " << error.what() << "\n";
    return 1;
  }
}
