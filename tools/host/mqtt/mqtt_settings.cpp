#include "tools/host/mqtt/mqtt_settings.h"

#include <fstream>

#include "tools/common/net_address.h"

namespace k426b_host {

std::string ParseMqttUrl(const std::string& url, MqttSettings& settings) {
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
    settings.tls = false;
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    settings.tls = true;
  } else {
    return "--mqtt '" + url + "' is not mqtt://HOST:PORT or mqtts://HOST:PORT";
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find(':') == std::string::npos) rest += settings.tls ? ":8883" : ":1883";
  NetAddress address;
  if (auto problem = ParseHostPort(rest, address); !problem.empty())
    return "--mqtt '" + url + "': " + problem;
  settings.host = address.host;
  settings.port = address.port;
  return {};
}

std::string ReadPasswordFile(const std::string& path, std::string& password) {
  std::ifstream in(path);
  if (!in) return "cannot read the MQTT password file " + path;
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > 65535) return "the MQTT password file " + path + " is too long";
  password = line;
  return {};
}

std::string TopicLevel(const std::string& text) {
  std::string level;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    level += (c == '/' || c == '+' || c == '#' || byte <= 0x20 || byte == 0x7F) ? '_' : c;
  }
  return level.empty() ? "_" : level;
}

}  // namespace k426b_host
