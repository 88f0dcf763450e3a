#include "tools/sim/serve/serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include "tools/common/baud.h"

namespace k426b_sim {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void MakeRaw(int fd, speed_t speed, const std::string& name) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) ThrowErrno("tcgetattr " + name);
  cfmakeraw(&settings);
  settings.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0)
    ThrowErrno("cfsetspeed " + name);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) ThrowErrno("tcsetattr " + name);
}

speed_t SpeedFor(unsigned baud) {
  const std::optional<speed_t> speed = BaudSpeed(baud);
  if (!speed) throw std::invalid_argument("unsupported baud rate " + std::to_string(baud));
  return *speed;
}

bool WriteAll(int fd, const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(fd, bytes, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

LinePace::LinePace(const ServeOptions& options)
    : pace_(options.pace),
      byte_time_(10.0 / options.baud),
      per_packet_(
          std::max<std::size_t>(1, std::size_t{options.baud} / 10 * options.packet_ms / 1000)) {}

std::size_t LinePace::PacketEnd(std::size_t begin, std::size_t size) const {
  return pace_ ? std::min(size, begin + per_packet_) : size;
}

LinePace::Clock::time_point LinePace::PacketDue(Clock::time_point start, std::size_t end) const {
  return end == 0 ? start : LineFree(start, end - 1);
}

LinePace::Clock::time_point LinePace::LineFree(Clock::time_point start, std::size_t size) const {
  if (!pace_) return start;
  return start + std::chrono::duration_cast<Clock::duration>(byte_time_ * size);
}

bool SendPaced(const std::string& text, const ServeOptions& options,
               const std::function<bool(const char* bytes, std::size_t length)>& write) {
  if (!options.pace) return write(text.data(), text.size());
  const LinePace pace(options);
  const auto start = LinePace::Clock::now();
  for (std::size_t begin = 0; begin < text.size();) {
    const std::size_t end = pace.PacketEnd(begin, text.size());
    std::this_thread::sleep_until(pace.PacketDue(start, end));
    if (!write(text.data() + begin, end - begin)) return false;
    begin = end;
  }
  // The line is busy until the last byte is out: the next reply starts after it.
  std::this_thread::sleep_until(pace.LineFree(start, text.size()));
  return true;
}

Pty OpenPty() {
  Pty pty;
  pty.master = Fd(posix_openpt(O_RDWR | O_NOCTTY));
  if (pty.master.Get() < 0) ThrowErrno("posix_openpt");
  if (grantpt(pty.master.Get()) != 0) ThrowErrno("grantpt");
  if (unlockpt(pty.master.Get()) != 0) ThrowErrno("unlockpt");
  char name[128];
  if (ptsname_r(pty.master.Get(), name, sizeof name) != 0) ThrowErrno("ptsname_r");
  pty.slave_path = name;
  pty.slave = Fd(::open(name, O_RDWR | O_NOCTTY));
  if (pty.slave.Get() < 0) ThrowErrno("open " + pty.slave_path);
  MakeRaw(pty.slave.Get(), B9600, pty.slave_path);
  return pty;
}

Fd OpenSerialPort(const std::string& device, unsigned baud) {
  const speed_t speed = SpeedFor(baud);
  Fd fd(::open(device.c_str(), O_RDWR | O_NOCTTY));
  if (fd.Get() < 0 && errno == EBUSY)
    throw std::system_error(EBUSY, std::generic_category(),
                            device + " is in use by another program (opened exclusively)");
  if (fd.Get() < 0) ThrowErrno("open " + device);
  // One program per port, as the host does: the lock holds even for programs running as root.
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
    throw std::system_error(EBUSY, std::generic_category(),
                            device + " is in use by another program (locked)");
  ::ioctl(fd.Get(), TIOCEXCL);
  MakeRaw(fd.Get(), speed, device);
  tcflush(fd.Get(), TCIOFLUSH);
  return fd;
}

bool Serve(int fd, Responder& responder, const ServeOptions& options,
           const std::atomic<bool>& stop) {
  unsigned char buffer[512];
  while (!stop.load()) {
    pollfd watch{fd, POLLIN, 0};
    const int ready = ::poll(&watch, 1, 100);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (ready == 0) continue;
    if ((watch.revents & (POLLERR | POLLNVAL)) != 0) return false;
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count <= 0) return false;
    const std::size_t length = static_cast<std::size_t>(count);
    if (options.trace) options.trace("rx", std::string(reinterpret_cast<char*>(buffer), length));
    for (const std::string& reply : responder.OnBytes(buffer, length)) {
      if (options.trace) options.trace("tx", reply);
      const auto write = [fd](const char* bytes, std::size_t length) {
        return WriteAll(fd, bytes, length);
      };
      if (!SendPaced(reply, options, write)) return false;
    }
  }
  return true;
}

PtyServer::PtyServer(std::unique_ptr<Responder> responder, ServeOptions options)
    : pty_(OpenPty()), responder_(std::move(responder)) {
  thread_ = std::thread([this, options] { Serve(pty_.master.Get(), *responder_, options, stop_); });
}

PtyServer::~PtyServer() { Stop(); }

void PtyServer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

}  // namespace k426b_sim
