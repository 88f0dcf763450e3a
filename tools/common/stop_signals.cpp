#include "tools/common/stop_signals.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <system_error>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void ThrowErrno(const char* call) {
  throw std::system_error(errno, std::generic_category(), call);
}

// Milliseconds from now to `deadline` for poll, rounded up so that a wait never ends early;
// -1 for no deadline.
int TimeoutMs(Clock::time_point deadline) {
  if (deadline == Clock::time_point::max()) return -1;
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 86'400'000 ? 86'400'000 : static_cast<int>(ms);
}

}  // namespace

StopSignals::StopSignals(bool reload) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  if (reload) sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  signals_ = Fd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signals_.valid()) ThrowErrno("signalfd");
  woken_ = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!woken_.valid()) ThrowErrno("eventfd");
}

StopSignals::Taken StopSignals::Wait(Clock::time_point deadline) {
  while (true) {
    pollfd fds[2] = {{signals_.Get(), POLLIN, 0}, {woken_.Get(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, TimeoutMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return Taken::kNone;  // the time is up
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(signals_.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        return info.ssi_signo == SIGHUP ? Taken::kReload : Taken::kStop;
    }
    if (fds[1].revents & POLLIN) {
      std::uint64_t count = 0;
      while (::read(woken_.Get(), &count, sizeof count) < 0 && errno == EINTR) {
      }
      return Taken::kNone;
    }
    if (Clock::now() >= deadline) return Taken::kNone;
  }
}

void StopSignals::Wake() {
  const std::uint64_t one = 1;
  while (::write(woken_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}
