#pragma once

// The byte line to one power system: a serial device, a pseudo-terminal, or a raw TCP socket to
// a serial device server. The serial loop sees only this.

#include <cstddef>
#include <string>

class Line {
 public:
  virtual ~Line() = default;

  // Empty result on success, else the reason.
  virtual std::string Open() = 0;
  virtual void Close() = 0;
  virtual bool is_open() const = 0;
  // The descriptor to wait on while open, -1 otherwise.
  virtual int fd() const = 0;
  // The device path or tcp://HOST:PORT, as configured.
  virtual const std::string& path() const = 0;

  // Writes every byte, waiting for room as needed; false when the line is gone.
  virtual bool Write(const unsigned char* bytes, std::size_t length) = 0;

  enum class ReadResult { kData, kNothing, kGone };
  // Waits up to `wait_ms` for bytes and reads what is there.
  virtual ReadResult Read(unsigned char* buffer, std::size_t capacity, std::size_t& received,
                          int wait_ms) = 0;
};
