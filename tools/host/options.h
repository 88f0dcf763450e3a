#pragma once

// Command line of k426b-host.

#include <optional>
#include <string>
#include <vector>

struct HostOptions {
  std::string config_path;  // empty: the example configuration
  std::string port;         // serial device; empty with simulate
  int baud = 9600;
  bool simulate = false;
  std::string scenario_path;
  std::optional<unsigned> cycles;  // stop after this many completed cycles
  std::string events_path;
  std::string history_path;  // empty: the default state file
  bool no_history = false;
  bool trace = false;
  std::string record_path;
  std::string plugin_path;  // empty: the plug-in built beside the host
  bool help = false;
};

struct ParsedOptions {
  HostOptions options;
  std::string error;  // empty when the command line is usable
};

// No arguments at all, or neither --port nor --simulate, means --simulate.
ParsedOptions ParseHostOptions(const std::vector<std::string>& arguments);

// Baud rates the serial port can be set to.
bool IsSupportedBaud(int baud);

extern const char kHostUsage[];
