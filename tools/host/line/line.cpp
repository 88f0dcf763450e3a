#include "tools/host/line/line.h"

#include <cerrno>
#include <optional>

#include <poll.h>

namespace k426b_host {

bool Line::WriteAll(int fd, const unsigned char* bytes, std::size_t length,
                    const WriteSome& write_some) {
  std::size_t written = 0;
  while (fd >= 0 && written < length) {
    const ssize_t result = write_some(fd, bytes + written, length - written);
    if (result > 0) {
      written += static_cast<std::size_t>(result);
    } else if (result < 0 && errno == EINTR) {
      continue;
    } else if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd room{fd, POLLOUT, 0};
      if (::poll(&room, 1, 1000) <= 0 || (room.revents & (POLLERR | POLLHUP | POLLNVAL)))
        return false;
    } else {
      return false;
    }
  }
  return fd >= 0;
}

Line::ReadResult Line::ReadReady(int fd, unsigned char* buffer, std::size_t capacity,
                                 std::size_t& received, int wait_ms, const ReadSome& read_some,
                                 bool end_is_loss) {
  received = 0;
  if (fd < 0) return ReadResult::kGone;
  // One read. Nothing read is a loss for a socket; for a serial line only once a poll has
  // reported its hang-up, so until then the outcome is left open (nullopt).
  const auto read_once = [&](bool hung_up) -> std::optional<ReadResult> {
    const ssize_t result = read_some(fd, buffer, capacity);
    if (result > 0) {
      received = static_cast<std::size_t>(result);
      return ReadResult::kData;
    }
    if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
      return ReadResult::kNothing;
    // A hung-up serial line reads as an error (EIO on a pseudo-terminal) or as end of file; a
    // socket's end of stream, reset or keep-alive time-out is always a loss.
    if (result < 0 || end_is_loss || hung_up) return ReadResult::kGone;
    return std::nullopt;
  };
  // Only what is there (the serial loop knows the line is readable): read at once, and poll
  // only to tell a serial line's end of file from its hang-up.
  if (wait_ms == 0) {
    if (const auto outcome = read_once(false)) return *outcome;
  }
  pollfd ready{fd, POLLIN, 0};
  const int polled = ::poll(&ready, 1, wait_ms);
  if (polled < 0) return errno == EINTR ? ReadResult::kNothing : ReadResult::kGone;
  if (polled == 0) return ReadResult::kNothing;
  if (ready.revents & POLLNVAL) return ReadResult::kGone;
  return read_once((ready.revents & (POLLHUP | POLLERR)) != 0).value_or(ReadResult::kNothing);
}

}  // namespace k426b_host
