#include "tools/common/net_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

constexpr char kScheme[] = "tcp://";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A host name of dot-separated labels: letters, digits and inner hyphens, 1-63 characters each.
bool IsHostName(const std::string& host) {
  if (host.empty() || host.size() > 253) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = host.find('.', start);
    const std::size_t end = dot == std::string::npos ? host.size() : dot;
    const std::size_t length = end - start;
    if (length == 0 || length > 63) return false;
    if (host[start] == '-' || host[end - 1] == '-') return false;
    for (std::size_t i = start; i < end; ++i)
      if (!IsAlnum(host[i]) && host[i] != '-') return false;
    if (dot == std::string::npos) return true;
    start = dot + 1;
  }
}

std::string Malformed(const std::string& text, const std::string& why) {
  return "malformed address \"" + text + "\": " + why + " (expected tcp://HOST:PORT)";
}

}  // namespace

std::string ParseHostPort(const std::string& text, NetAddress& address, bool port_zero) {
  std::string host;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return "the IPv6 address lacks its ']'";
    host = text.substr(1, close - 1);
    in6_addr parsed{};
    if (::inet_pton(AF_INET6, host.c_str(), &parsed) != 1)
      return "\"" + host + "\" is not an IPv6 address";
    if (close + 1 >= text.size() || text[close + 1] != ':') return "the port is missing";
    port = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return "the port is missing";
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.empty()) return "the host is missing";
    if (host.find(':') != std::string::npos)
      return "an IPv6 address must be written in brackets, as [::1]";
    bool numeric = true;
    for (char c : host) numeric = numeric && (IsDigit(c) || c == '.');
    if (numeric) {
      in_addr parsed{};
      if (::inet_pton(AF_INET, host.c_str(), &parsed) != 1)
        return "\"" + host + "\" is not an IPv4 address";
    } else if (!IsHostName(host)) {
      return "\"" + host + "\" is not a host name";
    }
  }
  if (port.empty()) return "the port is missing";
  if (port.size() > 5) return "the port must be a number from 1 to 65535";
  unsigned long number = 0;
  for (char c : port) {
    if (!IsDigit(c)) return "the port must be a number from 1 to 65535";
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  if ((number < 1 && !port_zero) || number > 65535)
    return "the port must be a number from 1 to 65535";
  address.host = host;
  address.port = static_cast<unsigned short>(number);
  return {};
}

std::string HostPortText(const NetAddress& address) {
  const bool v6 = address.host.find(':') != std::string::npos;
  return (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

bool IsTcpAddress(const std::string& text) { return text.rfind(kScheme, 0) == 0; }

std::string ParseTcpAddress(const std::string& text, NetAddress& address) {
  if (!IsTcpAddress(text)) return Malformed(text, "it does not start with tcp://");
  const std::string problem = ParseHostPort(text.substr(sizeof kScheme - 1), address, false);
  return problem.empty() ? problem : Malformed(text, problem);
}
