// k426b-sim: the power system's side of the serial line, simulated.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
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

#include "tools/sim/fleet.h"
#include "tools/sim/record_file.h"
#include "tools/sim/serial_link.h"
#include "tools/sim/simulator.h"

namespace {

using namespace k426b_sim;

constexpr const char* kUsage = R"(Usage: k426b-sim (--pty | --port DEVICE [--baud N] | --tcp ADDR:PORT) [--sites N] [options]
       k426b-sim --print-scenario [--scenario FILE]

Answers the poll cycle of the k426b driver like a DC power system.

  --pty               serve a new pseudo-terminal; its path is printed on stdout
  --port DEVICE       serve a serial device (8N1, no flow control)
  --baud N            line speed of --port and of --pace (default 9600)
  --tcp ADDR:PORT     serve over TCP as a serial device server does (one client at a time;
                      a new client replaces the old); PORT 0 picks a free port; the address
                      is printed on stdout
  --sites N           serve N power systems (with --tcp on ports PORT..PORT+N-1; with --pty
                      one terminal each); one line per site on stdout; site i's voltages
                      are raised by i V (AC) and i/10 V (DC, rectifier group), its seed is
                      the --seed plus i
  --scenario FILE     scenario JSON (default: built in, as examples/sim-default.json)
  --replay FILE       answer from a `k426b-host --record` file instead of a scenario
  --pace              hold each byte sent to the line's timing (10 bit times a byte)
  --fault-rate R      spoil a share R (0 to 1) of the replies with a random fault
  --fault-kinds LIST  comma-separated faults for --fault-rate (default: all of
                      bad_chksum, bad_lchksum, no_reply, truncated, noise, wrong_cid1,
                      wrong_unit_count, rtn_error, overlong_count)
  --seed N            seed of the fault generator (default 1)
  --trace             every query, answer, change and fault on stderr
  --print-scenario    print the effective scenario as JSON and exit
  --help              this text

Exit status: 0 after SIGINT or SIGTERM, 1 when the line fails, 2 for bad arguments or a bad
scenario or record file.
)";

struct Arguments {
  bool pty = false;
  std::optional<std::string> port;
  unsigned baud = 9600;
  std::optional<std::string> scenario;
  std::optional<std::string> replay;
  bool pace = false;
  double fault_rate = 0.0;
  std::vector<FaultKind> fault_kinds;
  uint32_t seed = 1;
  bool trace = false;
  bool print_scenario = false;
  bool help = false;
  // Fleet (tools/sim/fleet.h): TCP and many sites.
  std::optional<std::string> tcp;
  int sites = 1;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

unsigned long ParseUnsigned(const std::string& option, const std::string& text, unsigned long max) {
  std::size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || text[0] == '-' || value > max)
    throw UsageError(option + " expects a whole number up to " + std::to_string(max) + ", got \"" + text + "\"");
  return value;
}

Arguments ParseArguments(int argc, char** argv) {
  Arguments args;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(option + " needs a value");
      return argv[++i];
    };
    if (option == "--pty") {
      args.pty = true;
    } else if (option == "--port") {
      args.port = value();
    } else if (option == "--baud") {
      args.baud = static_cast<unsigned>(ParseUnsigned(option, value(), 4000000));
    } else if (option == "--scenario") {
      args.scenario = value();
    } else if (option == "--replay") {
      args.replay = value();
    } else if (option == "--pace") {
      args.pace = true;
    } else if (option == "--fault-rate") {
      const std::string text = value();
      char* end = nullptr;
      args.fault_rate = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !(args.fault_rate >= 0.0 && args.fault_rate <= 1.0))
        throw UsageError("--fault-rate expects a number from 0 to 1, got \"" + text + "\"");
    } else if (option == "--fault-kinds") {
      std::istringstream list(value());
      std::string name;
      while (std::getline(list, name, ',')) {
        const std::optional<FaultKind> kind = FaultFromName(name);
        if (!kind) throw UsageError("unknown fault \"" + name + "\" in --fault-kinds");
        args.fault_kinds.push_back(*kind);
      }
    } else if (option == "--seed") {
      args.seed = static_cast<uint32_t>(ParseUnsigned(option, value(), 0xFFFFFFFFul));
    } else if (option == "--trace") {
      args.trace = true;
    } else if (option == "--print-scenario") {
      args.print_scenario = true;
    } else if (option == "--tcp") {  // fleet
      args.tcp = value();
    } else if (option == "--sites") {  // fleet
      args.sites = static_cast<int>(ParseUnsigned(option, value(), 1000));
      if (args.sites == 0) throw UsageError("--sites expects 1 to 1000");
    } else if (option == "--help" || option == "-h") {
      args.help = true;
    } else {
      throw UsageError("unknown option \"" + option + "\"");
    }
  }
  if (args.help || args.print_scenario) return args;
  if (int(args.pty) + int(args.port.has_value()) + int(args.tcp.has_value()) != 1)
    throw UsageError("give exactly one of --pty, --port DEVICE and --tcp ADDR:PORT");
  if (args.sites > 1 && args.port) throw UsageError("--sites needs --pty or --tcp");
  if (args.scenario && args.replay) throw UsageError("--scenario and --replay exclude each other");
  if (args.replay && (args.fault_rate > 0.0 || !args.fault_kinds.empty()))
    throw UsageError("faults need a scenario, not --replay");
  return args;
}

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

void InstallSignals() {
  struct sigaction action{};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

std::string Printable(const std::string& bytes) {
  std::string text;
  for (char c : bytes) {
    if (c == '\r') text += "\\r";
    else if (c >= 0x20 && c < 0x7F) text += c;
    else text += "\\x" + zvk::ToHex(reinterpret_cast<const unsigned char*>(&c), 1);
  }
  return text;
}

// Site 0 is the power system of the scenario as given; further sites differ (SiteScenario).
std::unique_ptr<Responder> MakeResponder(const Arguments& args, int site) {
  if (args.replay) {
    auto replayer = std::make_unique<Replayer>(ReadRecordFile(*args.replay));
    std::cerr << "k426b-sim: replaying " << replayer->ExchangeCount() << " exchanges from " << *args.replay << "\n";
    return replayer;
  }
  Scenario scenario = args.scenario ? LoadScenarioFile(*args.scenario) : DefaultScenario();
  SimulatorOptions options;
  options.fault_rate = args.fault_rate;
  options.rate_kinds = args.fault_kinds;
  options.seed = args.seed + static_cast<uint32_t>(site);
  if (args.trace) options.trace = [](const std::string& line) { std::cerr << "sim: " << line << "\n"; };
  return std::make_unique<Simulator>(SiteScenario(scenario, site), options);
}

int Run(const Arguments& args) {
  ServeOptions serve;
  serve.pace = args.pace;
  serve.baud = args.baud;
  if (args.trace) {
    serve.trace = [](const char* direction, const std::string& bytes) {
      std::cerr << direction << ": " << Printable(bytes) << "\n";
    };
  }

  InstallSignals();
  // Fleet: TCP, or more than one site.
  if (args.tcp || args.sites > 1) {
    FleetOptions fleet;
    fleet.sites = args.sites;
    fleet.tcp = args.tcp;
    fleet.serve = serve;
    try {
      return RunFleet(fleet, [&](int site) { return MakeResponder(args, site); }, std::cout, g_stop);
    } catch (const std::invalid_argument& error) {
      std::cerr << "k426b-sim: " << error.what() << "\n";
      return 2;
    }
  }
  std::unique_ptr<Responder> responder = MakeResponder(args, 0);
  if (args.pty) {
    Pty pty = OpenPty();
    std::cout << pty.slave_path << std::endl;
    if (!Serve(pty.master.Get(), *responder, serve, g_stop)) {
      std::cerr << "k426b-sim: the pseudo-terminal failed\n";
      return 1;
    }
    return 0;
  }

  // A serial device that disappears (a USB adapter pulled) is reopened with back-off.
  auto backoff = std::chrono::milliseconds(250);
  bool opened_once = false;
  while (!g_stop) {
    try {
      Fd port = OpenSerialPort(*args.port, args.baud);
      if (!opened_once) std::cerr << "k426b-sim: serving " << *args.port << " at " << args.baud << " baud\n";
      opened_once = true;
      backoff = std::chrono::milliseconds(250);
      if (Serve(port.Get(), *responder, serve, g_stop)) return 0;
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
  try {
    args = ParseArguments(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "k426b-sim: " << error.what() << "\nTry k426b-sim --help.\n";
    return 2;
  }
  if (args.help) {
    std::cout << kUsage;
    return 0;
  }
  try {
    if (args.print_scenario) {
      const Scenario scenario = args.scenario ? LoadScenarioFile(*args.scenario) : DefaultScenario();
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
