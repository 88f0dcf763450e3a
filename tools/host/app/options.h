#pragma once

// Command line of k426b-host.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/duration.h"

namespace k426b_host {

struct HostOptions {
  std::string config_path;  // empty: the example configuration
  std::string port;         // serial device; empty with simulate
  int baud = 9600;
  bool simulate = false;
  std::string scenario_path;
  std::optional<unsigned> cycles;  // stop after this many completed cycles
  std::string events_path;         // "-": standard output
  std::string history_path;        // empty: the default state file of the line's kind
  bool no_history = false;
  // --history-keep: rows older than this are deleted (0: none); empty: the sites file's
  // setting, else 7 days. The service's only.
  std::optional<std::chrono::seconds> history_keep;
  std::chrono::seconds history_interval{30};  // retry and pruning period (hidden, for tests)
  std::chrono::seconds max_cache_age{600};  // 0: no cache loading
  bool once = false;                        // end after the first completed cycle
  bool json = false;                        // with once: print the site's status as JSON
  std::chrono::seconds deadline{30};  // once: give up (status 1) when no cycle completes by then
  bool trace = false;
  std::string record_path;
  std::string plugin_path;  // empty: the plug-in built beside the host
  int verbosity = 0;        // -1 quiet, 0 normal, 1 verbose
  std::string log_file;     // empty: standard error
  std::string sites_path;   // --sites: every power system of this file in one process
  std::string listen;       // --listen ADDR:PORT: the HTTP endpoint; empty: none
  std::string web_config_file;  // --web.config.file: TLS, basic auth, headers of the endpoint
  // --mqtt mqtt://HOST:PORT or mqtts://HOST:PORT: the broker output (the service's); empty:
  // the sites file's setting, else none.
  std::string mqtt_url;
  std::string mqtt_client_id;      // empty: k426b-HOSTNAME
  std::string mqtt_user;
  std::string mqtt_password_file;  // the password's only source
  std::string mqtt_ca_file;
  std::string mqtt_prefix = "k426b";
  bool mqtt_discovery = true;
  std::string mqtt_discovery_prefix = "homeassistant";
  std::string mqtt_manufacturer;
  std::size_t mqtt_alarm_queue = 1000;  // alarm messages kept per site while the broker is away
};

struct ParsedOptions {
  HostOptions options;
  std::string error;   // empty when the command line is usable
  std::string output;  // --help or --version text: print it and end with status 0
  // The command line as given, for the `start` event.
  std::vector<std::string> arguments;
};

// No arguments at all, or neither --port nor --simulate, means --simulate.
ParsedOptions ParseHostOptions(const std::vector<std::string>& arguments);

// The one error style of both tools: "PROGRAM: message" and a line pointing to --help.
std::string UsageErrorText(const std::string& program, const std::string& message);

}  // namespace k426b_host
