#pragma once

// The serial line to the power system: a tty (or pseudo-terminal) in raw mode, 8N1, no flow
// control, non-blocking.

#include <cstddef>
#include <string>

class SerialPort {
 public:
  SerialPort(std::string path, int baud) : path_(std::move(path)), baud_(baud) {}
  ~SerialPort() { Close(); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Empty result on success, else the reason.
  std::string Open();
  void Close();
  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Writes every byte, waiting for room as needed; false when the line is gone.
  bool Write(const unsigned char* bytes, std::size_t length);

  enum class ReadResult { kData, kNothing, kGone };
  // Waits up to `wait_ms` for bytes and reads what is there.
  ReadResult Read(unsigned char* buffer, std::size_t capacity, std::size_t& received, int wait_ms);

 private:
  std::string path_;
  int baud_;
  int fd_ = -1;
};
