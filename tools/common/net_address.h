#pragma once

// Network addresses as people write them: HOST:PORT, where HOST is a host name, a dotted IPv4
// address or an IPv6 address in brackets ([::1]:4001). One parser for every tool: a site's
// tcp:// line, the host's --listen and the simulator's --tcp.

#include <string>

struct NetAddress {
  std::string host;  // a host name, a dotted IPv4 address or an IPv6 address (no brackets)
  unsigned short port = 0;
};

// Parses HOST:PORT with PORT from 1 to 65535 (from 0 when `port_zero`, for "any free port").
// Empty result on success, else the problem in plain words.
std::string ParseHostPort(const std::string& text, NetAddress& address, bool port_zero = false);

// HOST:PORT again, an IPv6 address in brackets.
std::string HostPortText(const NetAddress& address);

// True when `text` is meant as a TCP address (it starts with "tcp://").
bool IsTcpAddress(const std::string& text);

// Parses "tcp://HOST:PORT" as ParseHostPort does. Empty result on success, else the problem
// in plain words.
std::string ParseTcpAddress(const std::string& text, NetAddress& address);
