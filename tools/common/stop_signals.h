#pragma once

// The one way the host and the simulator take their signals: SIGINT and SIGTERM ask a program
// to stop, SIGHUP (where a program reloads) to read its configuration again. The signals are
// blocked in every thread, so none is interrupted by them, and taken by the one thread that waits
// for them; SIGPIPE is ignored, so a peer that went away is a failed write, not the end.

#include <chrono>

#include "tools/common/fd.h"

class StopSignals {
 public:
  enum class Taken { kNone, kStop, kReload };

  // Blocks SIGINT and SIGTERM, and SIGHUP with `reload`, in the calling thread and so in every
  // thread it starts later: made first thing in main, before any thread. A signal that comes
  // before the program waits for it is kept until then. Throws std::system_error when the
  // descriptors cannot be made.
  explicit StopSignals(bool reload = false);
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The stop or reload signal that comes by `deadline` (time_point::max(): however long it
  // takes); kNone when the time is up or Wake was called.
  Taken Wait(std::chrono::steady_clock::time_point deadline);
  // From any thread: the Wait under way, or the next one, returns at once.
  void Wake();

 private:
  Fd signals_;  // a signalfd over the blocked signals
  Fd woken_;    // an eventfd Wake writes
};
