#include "tools/host/line/serial_port.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "tools/common/baud.h"

namespace k426b_host {

std::string SerialPort::Open() {
  Close();
  const std::optional<speed_t> speed = BaudSpeed(baud_);
  if (!speed)
    return "cannot set " + path_ + " to " + std::to_string(baud_) + " baud: not one of " +
           SupportedBaudsText();
  Fd fd(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid() && errno == EBUSY)
    return path_ + " is in use by another program (opened exclusively)";
  if (!fd.valid()) return "cannot open " + path_ + ": " + std::strerror(errno);
  termios settings{};
  if (::tcgetattr(fd.Get(), &settings) != 0) {
    const std::string reason = "not a serial line " + path_ + ": " + std::strerror(errno);
    return reason;
  }
  // One program per port: another host or simulator on the same line would take its replies.
  // The lock covers programs that ignore TIOCEXCL (anything running as root).
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    return path_ + " is in use by another program (locked)";
  }
  ::ioctl(fd.Get(), TIOCEXCL);
  // Raw: no echo, no CR/LF translation (the frames end in CR), no signals.
  ::cfmakeraw(&settings);
  settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
  settings.c_iflag &= ~(IXON | IXOFF | IXANY);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  ::cfsetispeed(&settings, *speed);
  ::cfsetospeed(&settings, *speed);
  if (::tcsetattr(fd.Get(), TCSANOW, &settings) != 0) {
    const std::string reason = "cannot set up " + path_ + ": " + std::strerror(errno);
    return reason;
  }
  ::tcflush(fd.Get(), TCIOFLUSH);
  fd_ = std::move(fd);
  return {};
}

void SerialPort::Close() {
  // A pseudo-terminal's far end may keep the device open: leave it openable again.
  if (fd_.valid()) ::ioctl(fd_.Get(), TIOCNXCL);
  fd_ = Fd();
}

bool SerialPort::Write(const unsigned char* bytes, std::size_t length) {
  return WriteAll(fd_.Get(), bytes, length, ::write);
}

SerialPort::ReadResult SerialPort::Read(unsigned char* buffer, std::size_t capacity,
                                        std::size_t& received, int wait_ms) {
  return ReadReady(fd_.Get(), buffer, capacity, received, wait_ms, ::read, /*end_is_loss=*/false);
}

}  // namespace k426b_host
