#pragma once

// The byte line to one power system: a serial device, a pseudo-terminal, or a raw TCP socket to
// a serial device server. The serial loop sees only this.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace k426b_host {

class Line {
 public:
  virtual ~Line() = default;

  // Empty result on success, else the reason.
  virtual std::string Open() = 0;
  // From another thread, for a line that is being let go: an Open under way that may wait (a
  // name lookup, a connect) gives up soon, and none is tried again. A line whose Open never
  // waits needs nothing here.
  virtual void GiveUpOpening() {}
  virtual void Close() = 0;
  virtual bool is_open() const = 0;
  // The descriptor to wait on while open, -1 otherwise.
  virtual int fd() const = 0;
  // The device path or tcp://HOST:PORT, as configured.
  virtual const std::string& path() const = 0;

  // Writes every byte, waiting for room as needed; false when the line is gone.
  virtual bool Write(const unsigned char* bytes, std::size_t length) = 0;

  // A line shared with other power systems (SharedLine): asks for the line before a query is
  // written. False while another's query is in flight; the descriptor becomes readable once it
  // is this one's turn (or the line is lost).
  virtual bool TakeTurn() { return true; }
  // The address of this site's equipment on a shared line, -1 on a line of its own.
  virtual int shared_address() const { return -1; }
  // A shared line opened again by another site since this one last had it: this one may join
  // at once instead of waiting for its own next try, so the sites on a line come back together.
  virtual bool OpenElsewhere() const { return false; }
  // Frames from another address than the one in flight, dropped since the last call: how many,
  // and the first few of them.
  struct Foreign {
    unsigned long long count = 0;
    std::vector<std::string> frames;
  };
  virtual Foreign TakeForeign() { return {}; }

  enum class ReadResult { kData, kNothing, kGone };
  // Waits up to `wait_ms` for bytes and reads what is there.
  virtual ReadResult Read(unsigned char* buffer, std::size_t capacity, std::size_t& received,
                          int wait_ms) = 0;

 protected:
  // What serial devices and sockets share: one non-blocking descriptor, written with `write_some`
  // (write or send) until every byte is out, waiting up to a second for room at a time...
  using WriteSome = std::function<ssize_t(int fd, const unsigned char* bytes, std::size_t length)>;
  static bool WriteAll(int fd, const unsigned char* bytes, std::size_t length,
                       const WriteSome& write_some);
  // ...and read with `read_some` (read or recv) once it is readable within `wait_ms` (with 0, at
  // once). A read of nothing is a loss when `end_is_loss` (a socket's end of stream), else only
  // when the line also reports a hang-up.
  using ReadSome = std::function<ssize_t(int fd, unsigned char* buffer, std::size_t capacity)>;
  static ReadResult ReadReady(int fd, unsigned char* buffer, std::size_t capacity,
                              std::size_t& received, int wait_ms, const ReadSome& read_some,
                              bool end_is_loss);
};

}  // namespace k426b_host
