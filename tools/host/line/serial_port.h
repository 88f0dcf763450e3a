#pragma once

// The serial line to the power system: a tty (or pseudo-terminal) in raw mode, 8N1, no flow
// control, non-blocking.

#include <cstddef>
#include <string>

#include "tools/common/fd.h"
#include "tools/host/line/line.h"

namespace k426b_host {

class SerialPort : public Line {
 public:
  SerialPort(std::string path, int baud) : path_(std::move(path)), baud_(baud) {}
  ~SerialPort() override { Close(); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Empty result on success, else the reason.
  std::string Open() override;
  void Close() override;
  bool is_open() const override { return fd_.valid(); }
  int fd() const override { return fd_.Get(); }
  const std::string& path() const override { return path_; }

  // Writes every byte, waiting for room as needed; false when the line is gone.
  bool Write(const unsigned char* bytes, std::size_t length) override;

  ReadResult Read(unsigned char* buffer, std::size_t capacity, std::size_t& received,
                  int wait_ms) override;

 private:
  std::string path_;
  int baud_;
  Fd fd_;
};

}  // namespace k426b_host
