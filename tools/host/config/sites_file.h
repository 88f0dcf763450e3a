#pragma once

// The sites file: every power system one host process supervises.
//
//   {"sites": [{"name": "north", "port": "/dev/ttyUSB0", "baud": 9600, "device": {...}},
//              {"name": "south", "port": "tcp://10.0.0.7:4001", "device": "south.json"}],
//    "history_keep": "7d", "mqtt": "mqtt://broker.example:1883"}
//
// `history_keep`: optional, how long history rows are kept ("0": every row), unless
// --history-keep is given; read at start-up. `mqtt`: optional, the broker the host publishes to,
// unless --mqtt is given; read at start-up.
// `name`: unique, letters, digits, '-' and '_'. `port`: a serial device path or
// tcp://HOST:PORT. `baud`: optional, 9600 unless given. `device`: the composite device's
// configuration, inline or as a path relative to the sites file. Data ids are unique across the
// whole file. Several sites may name one port (equipment sharing an RS-485 line or a device
// server's port) when their devices' addresses differ and the bauds given agree. Every problem
// is collected, so one run names them all.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

namespace k426b_host {

struct SiteConfig {
  std::string name;
  std::string port;
  int baud = 9600;
  Json::Value device;       // the composite device's configuration
  std::string device_file;  // where it was read from; empty when inline
  int address = 1;          // the equipment's address (the device's "address")
  bool shared = false;      // other sites name the same port: the line is shared
};

struct SitesFile {
  std::vector<SiteConfig> sites;
  std::optional<std::chrono::seconds> history_keep;
  std::string mqtt_url;  // empty: none
  std::vector<std::string> problems;  // empty when the file is usable
};

// Reads and checks `path`.
SitesFile LoadSitesFile(const std::string& path);
// Checks a parsed document; device paths are taken relative to `directory`.
SitesFile CheckSitesDocument(const Json::Value& document, const std::string& directory);

}  // namespace k426b_host
