#pragma once

// How the host reaches its broker: the address from `mqtt://HOST:PORT` or `mqtts://HOST:PORT`,
// who it is (client id, user, password), the CA for TLS, and the topic prefixes.

#include <string>

namespace k426b_host {

struct MqttSettings {
  std::string host;
  int port = 1883;
  bool tls = false;
  std::string client_id;  // empty: k426b-HOSTNAME
  std::string user;
  std::string password;  // read from a file, never from the command line
  std::string ca_file;   // with tls; empty: the system's certificates
  std::string prefix = "k426b";
  bool discovery = true;
  std::string discovery_prefix = "homeassistant";
  std::string manufacturer;        // shown on the discovered devices; empty: left out
  std::size_t alarm_queue = 1000;  // alarm messages kept per site while the broker is away
};

// Fills host, port and tls from `url`; empty on success, else what is wrong with it.
std::string ParseMqttUrl(const std::string& url, MqttSettings& settings);

// The password file's first line; empty on success, else why it cannot be used.
std::string ReadPasswordFile(const std::string& path, std::string& password);

// `text` made one topic level: '/', '+', '#', control characters and spaces become '_'.
std::string TopicLevel(const std::string& text);

}  // namespace k426b_host
