#include "tools/host/options.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

const char kHostUsage[] =
    "usage: k426b-host [--config FILE] (--port DEVICE [--baud N] | --simulate [--scenario FILE])\n"
    "                  [--cycles N] [--events FILE] [--history FILE | --no-history] [--trace]\n"
    "                  [--record FILE] [--plugin PATH]\n"
    "\n"
    "Runs the k426b plug-in against a power system on a serial port, or against the built-in\n"
    "simulator. Without arguments: --simulate with the example configuration until Ctrl-C.\n"
    "\n"
    "  --config FILE    composite device configuration (JSON); default examples/k426b.json\n"
    "  --port DEVICE    serial device of the power system (8N1, no flow control)\n"
    "  --baud N         line speed of --port (default 9600)\n"
    "  --simulate       run the equipment simulator in-process on a pseudo-terminal\n"
    "  --scenario FILE  simulator scenario for --simulate\n"
    "  --cycles N       end with status 0 after N completed poll cycles\n"
    "  --events FILE    write the event stream as JSON Lines\n"
    "  --history FILE   SQLite history (default $XDG_STATE_HOME/k426b/history.sqlite)\n"
    "  --no-history     keep no history and load no cache\n"
    "  --trace          print every frame sent and received, as text and hex\n"
    "  --record FILE    record the raw bytes of both directions, for k426b-sim --replay\n"
    "  --plugin PATH    plug-in library to load (default: libk426b.so beside k426b-host)\n"
    "  --help           this text\n"
    "\n"
    "Exit status: 0 done, 1 run-time failure, 2 bad command line or configuration.\n";

bool IsSupportedBaud(int baud) {
  static constexpr std::array<int, 8> kBauds = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
  return std::find(kBauds.begin(), kBauds.end(), baud) != kBauds.end();
}

namespace {

bool ParseUnsigned(const std::string& text, unsigned long& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  value = std::strtoul(text.c_str(), nullptr, 10);
  return errno == 0 && value <= 0xFFFFFFFFul;
}

}  // namespace

ParsedOptions ParseHostOptions(const std::vector<std::string>& arguments) {
  ParsedOptions parsed;
  HostOptions& options = parsed.options;
  bool baud_given = false;

  using TakesValue = std::function<std::string(const std::string&)>;
  const std::map<std::string, TakesValue> with_value = {
      {"--config", [&](const std::string& v) { options.config_path = v; return std::string(); }},
      {"--port", [&](const std::string& v) { options.port = v; return std::string(); }},
      {"--scenario", [&](const std::string& v) { options.scenario_path = v; return std::string(); }},
      {"--events", [&](const std::string& v) { options.events_path = v; return std::string(); }},
      {"--history", [&](const std::string& v) { options.history_path = v; return std::string(); }},
      {"--record", [&](const std::string& v) { options.record_path = v; return std::string(); }},
      {"--plugin", [&](const std::string& v) { options.plugin_path = v; return std::string(); }},
      {"--baud",
       [&](const std::string& v) {
         unsigned long baud = 0;
         if (!ParseUnsigned(v, baud) || !IsSupportedBaud(static_cast<int>(baud)))
           return "--baud: unsupported line speed '" + v +
                  "' (1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200)";
         options.baud = static_cast<int>(baud);
         baud_given = true;
         return std::string();
       }},
      {"--cycles",
       [&](const std::string& v) {
         unsigned long cycles = 0;
         if (!ParseUnsigned(v, cycles) || cycles == 0)
           return "--cycles: expected a positive whole number, got '" + v + "'";
         options.cycles = static_cast<unsigned>(cycles);
         return std::string();
       }},
  };
  const std::map<std::string, bool*> flags = {
      {"--simulate", &options.simulate},
      {"--no-history", &options.no_history},
      {"--trace", &options.trace},
      {"--help", &options.help},
  };

  for (std::size_t index = 0; index < arguments.size(); ++index) {
    std::string name = arguments[index];
    std::optional<std::string> inline_value;
    if (auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
      inline_value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    if (auto flag = flags.find(name); flag != flags.end()) {
      if (inline_value) {
        parsed.error = name + " takes no value";
        return parsed;
      }
      *flag->second = true;
      continue;
    }
    auto option = with_value.find(name);
    if (option == with_value.end()) {
      parsed.error = "unknown option '" + arguments[index] + "'";
      return parsed;
    }
    std::string value;
    if (inline_value) {
      value = *inline_value;
    } else if (index + 1 < arguments.size()) {
      value = arguments[++index];
    } else {
      parsed.error = name + " needs a value";
      return parsed;
    }
    if (value.empty()) {
      parsed.error = name + " needs a value";
      return parsed;
    }
    parsed.error = option->second(value);
    if (!parsed.error.empty()) return parsed;
  }

  if (options.help) return parsed;
  if (!options.port.empty() && options.simulate) {
    parsed.error = "--port and --simulate exclude each other";
  } else if (options.no_history && !options.history_path.empty()) {
    parsed.error = "--history and --no-history exclude each other";
  } else if (!options.scenario_path.empty() && !options.port.empty()) {
    parsed.error = "--scenario belongs to --simulate, not --port";
  } else if (baud_given && options.port.empty()) {
    parsed.error = "--baud belongs to --port";
  }
  if (options.port.empty()) options.simulate = true;
  return parsed;
}
