#pragma once

// The plug-in's own diagnostic lines (written with printf to standard output) moved into the
// host's log at debug level, shown with -v. In service mode standard output goes to the journal,
// where a line per unit per cycle of every site would bury what matters. Standard output
// becomes a pipe that a thread of its own reads; the host's own lines for people keep the
// standard output the process was given, through `terminal()`.

#include <cstdio>
#include <thread>

#include "tools/common/fd.h"

namespace k426b_host {

class PluginOutputToLog {
 public:
  // Takes standard output over; when that cannot be done, standard output stays as it is.
  // `verbose`: the lines are shown, so each is handed over as it ends.
  explicit PluginOutputToLog(bool verbose);
  // Gives standard output back, once the lines written so far are logged.
  ~PluginOutputToLog();
  PluginOutputToLog(const PluginOutputToLog&) = delete;
  PluginOutputToLog& operator=(const PluginOutputToLog&) = delete;

  // The standard output the process was given: for the host's human output and `--events -`.
  std::FILE* terminal() const { return terminal_; }

 private:
  void Read();

  std::FILE* terminal_ = stdout;
  Fd read_end_;
  std::thread reader_;
};

}  // namespace k426b_host
