#pragma once

// The simulator's side of the serial line: a pseudo-terminal or a serial device, served by a
// loop that feeds what arrives to a Responder and writes its answers back, optionally at the
// pace of the line's baud rate.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tools/common/fd.h"
#include "tools/sim/engine/simulator.h"

namespace k426b_sim {

// A pseudo-terminal in raw mode. The simulator serves the master side; the driver opens
// `slave_path`. The simulator keeps the slave open as well, so that the driver may close and
// reopen it without the master reporting a hang-up.
struct Pty {
  Fd master;
  Fd slave;
  std::string slave_path;
};

// Both throw std::system_error with the failing call named.
Pty OpenPty();
// termios raw 8N1, no flow control, at `baud` (a standard rate, else std::invalid_argument).
Fd OpenSerialPort(const std::string& device, unsigned baud);

struct ServeOptions {
  // Hold each byte to the line's timing: 10 bit times a byte (8N1).
  bool pace = false;
  unsigned baud = 9600;
  // With `pace`: hand the bytes over in packets of what the line carries in this many
  // milliseconds, each as its last byte goes onto the line, as a serial device server forwards
  // what its port received; 0 hands them over byte by byte.
  unsigned packet_ms = 0;
  // Called with every chunk received and every answer sent.
  std::function<void(const char* direction, const std::string& bytes)> trace;
};

// When the bytes of a reply are handed over: with `options.pace` in packets of what the line
// carries in `packet_ms` (byte by byte with 0), each once its last byte is going onto the line;
// without, the whole reply at once.
class LinePace {
 public:
  using Clock = std::chrono::steady_clock;
  explicit LinePace(const ServeOptions& options);
  // The end of the packet that begins at byte `begin` of a reply of `size` bytes.
  std::size_t PacketEnd(std::size_t begin, std::size_t size) const;
  // When the packet ending at byte `end` of a reply that began at `start` is handed over.
  Clock::time_point PacketDue(Clock::time_point start, std::size_t end) const;
  // When a reply of `size` bytes that began at `start` is off the line: the next begins then.
  Clock::time_point LineFree(Clock::time_point start, std::size_t size) const;

 private:
  bool pace_;
  std::chrono::duration<double> byte_time_;
  std::size_t per_packet_;
};

// Hands `text` to `write` (which sends a run of bytes, false when it fails) at once, or with
// `options.pace` at the line's pace; false when a write fails.
bool SendPaced(const std::string& text, const ServeOptions& options,
               const std::function<bool(const char* bytes, std::size_t length)>& write);

// Serves until `stop` is set (checked at least every 100 ms). Returns false when the descriptor
// fails (a serial device removed, say), true after a stop.
bool Serve(int fd, Responder& responder, const ServeOptions& options,
           const std::atomic<bool>& stop);

// A responder served on a pseudo-terminal from a thread of its own: what a bench host runs
// in-process. Stops and joins on destruction.
class PtyServer {
 public:
  PtyServer(std::unique_ptr<Responder> responder, ServeOptions options = {});
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  const std::string& SlavePath() const { return pty_.slave_path; }
  void Stop();

 private:
  Pty pty_;
  std::unique_ptr<Responder> responder_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace k426b_sim
