#pragma once

// The line to a power system behind a serial device server: a raw TCP socket to
// tcp://HOST:PORT, carrying the serial bytes as they are (no telnet or port-control
// negotiation). Looks the host up and connects without blocking past a time-out each, keeps
// the connection probed by TCP keep-alive so a dead server is noticed while the line is quiet,
// and reports loss exactly as the serial port does: Read gives kGone, Write gives false.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

#include "tools/common/fd.h"
#include "tools/common/net_address.h"
#include "tools/host/line/line.h"

namespace k426b_host {

class TcpLine : public Line {
 public:
  explicit TcpLine(std::string path,
                   std::chrono::milliseconds connect_timeout = std::chrono::seconds(5))
      : path_(std::move(path)), connect_timeout_(connect_timeout) {}
  ~TcpLine() override { Close(); }
  TcpLine(const TcpLine&) = delete;
  TcpLine& operator=(const TcpLine&) = delete;

  std::string Open() override;
  // An Open under way ends within a tenth of a second, and every later one fails at once.
  void GiveUpOpening() override { given_up_.store(true); }
  void Close() override;
  bool is_open() const override { return fd_.valid(); }
  int fd() const override { return fd_.Get(); }
  const std::string& path() const override { return path_; }

  bool Write(const unsigned char* bytes, std::size_t length) override;
  ReadResult Read(unsigned char* buffer, std::size_t capacity, std::size_t& received,
                  int wait_ms) override;

 private:
  std::string path_;
  std::chrono::milliseconds connect_timeout_;
  std::atomic<bool> given_up_{false};
  Fd fd_;
};

}  // namespace k426b_host
