#pragma once

// The line to a power system behind a serial device server: a raw TCP socket to
// tcp://HOST:PORT, carrying the serial bytes as they are (no telnet or port-control
// negotiation). Connects without blocking past a time-out, keeps the connection probed by TCP
// keep-alive so a dead server is noticed while the line is quiet, and reports loss exactly as
// the serial port does: Read gives kGone, Write gives false.

#include <chrono>
#include <cstddef>
#include <string>

#include "tools/host/line.h"

struct TcpAddress {
  std::string host;  // a host name, a dotted IPv4 address or an IPv6 address (no brackets)
  unsigned short port = 0;
};

// True when `text` is meant as a TCP address (it starts with "tcp://").
bool IsTcpAddress(const std::string& text);

// Parses "tcp://HOST:PORT": HOST a host name, an IPv4 address, or an IPv6 address in brackets;
// PORT 1 to 65535. Empty result on success, else the problem in plain words.
std::string ParseTcpAddress(const std::string& text, TcpAddress& address);

class TcpLine : public Line {
 public:
  explicit TcpLine(std::string path,
                   std::chrono::milliseconds connect_timeout = std::chrono::seconds(5))
      : path_(std::move(path)), connect_timeout_(connect_timeout) {}
  ~TcpLine() override { Close(); }
  TcpLine(const TcpLine&) = delete;
  TcpLine& operator=(const TcpLine&) = delete;

  std::string Open() override;
  void Close() override;
  bool is_open() const override { return fd_ >= 0; }
  int fd() const override { return fd_; }
  const std::string& path() const override { return path_; }

  bool Write(const unsigned char* bytes, std::size_t length) override;
  ReadResult Read(unsigned char* buffer, std::size_t capacity, std::size_t& received,
                  int wait_ms) override;

 private:
  std::string path_;
  std::chrono::milliseconds connect_timeout_;
  int fd_ = -1;
};
