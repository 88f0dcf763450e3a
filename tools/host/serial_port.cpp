#include "tools/host/serial_port.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

speed_t SpeedConstant(int baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B9600;
  }
}

}  // namespace

std::string SerialPort::Open() {
  Close();
  const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == EBUSY) return path_ + " is in use by another program (opened exclusively)";
  if (fd < 0) return "cannot open " + path_ + ": " + std::strerror(errno);
  termios settings{};
  if (::tcgetattr(fd, &settings) != 0) {
    const std::string reason = "not a serial line " + path_ + ": " + std::strerror(errno);
    ::close(fd);
    return reason;
  }
  // One program per port: another host or simulator on the same line would take its replies.
  // The lock covers programs that ignore TIOCEXCL (anything running as root).
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return path_ + " is in use by another program (locked)";
  }
  ::ioctl(fd, TIOCEXCL);
  // Raw: no echo, no CR/LF translation (the frames end in CR), no signals.
  ::cfmakeraw(&settings);
  settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
  settings.c_iflag &= ~(IXON | IXOFF | IXANY);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  ::cfsetispeed(&settings, SpeedConstant(baud_));
  ::cfsetospeed(&settings, SpeedConstant(baud_));
  if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
    const std::string reason = "cannot set up " + path_ + ": " + std::strerror(errno);
    ::close(fd);
    return reason;
  }
  ::tcflush(fd, TCIOFLUSH);
  fd_ = fd;
  return {};
}

void SerialPort::Close() {
  // A pseudo-terminal's far end may keep the device open: leave it openable again.
  if (fd_ >= 0) ::ioctl(fd_, TIOCNXCL);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool SerialPort::Write(const unsigned char* bytes, std::size_t length) {
  std::size_t written = 0;
  while (fd_ >= 0 && written < length) {
    const ssize_t result = ::write(fd_, bytes + written, length - written);
    if (result > 0) {
      written += static_cast<std::size_t>(result);
    } else if (result < 0 && errno == EINTR) {
      continue;
    } else if (result < 0 && errno == EAGAIN) {
      pollfd room{fd_, POLLOUT, 0};
      if (::poll(&room, 1, 1000) <= 0 || (room.revents & (POLLERR | POLLHUP | POLLNVAL)))
        return false;
    } else {
      return false;
    }
  }
  return fd_ >= 0;
}

SerialPort::ReadResult SerialPort::Read(unsigned char* buffer, std::size_t capacity,
                                        std::size_t& received, int wait_ms) {
  received = 0;
  if (fd_ < 0) return ReadResult::kGone;
  pollfd ready{fd_, POLLIN, 0};
  const int polled = ::poll(&ready, 1, wait_ms);
  if (polled < 0) return errno == EINTR ? ReadResult::kNothing : ReadResult::kGone;
  if (polled == 0) return ReadResult::kNothing;
  if (ready.revents & POLLNVAL) return ReadResult::kGone;
  const ssize_t result = ::read(fd_, buffer, capacity);
  if (result > 0) {
    received = static_cast<std::size_t>(result);
    return ReadResult::kData;
  }
  if (result < 0 && (errno == EAGAIN || errno == EINTR)) return ReadResult::kNothing;
  // A hung-up line reads as an error (EIO on a pseudo-terminal) or as end of file.
  if (result < 0 || (ready.revents & (POLLHUP | POLLERR))) return ReadResult::kGone;
  return ReadResult::kNothing;
}
