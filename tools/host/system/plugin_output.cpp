#include "tools/host/system/plugin_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tools/host/system/host_log.h"

namespace k426b_host {

namespace {

// A line longer than this is logged in pieces of this length.
constexpr std::size_t kLongestLine = 4096;

void LogLine(const std::string& line) { HostLog().debug("plug-in output: {}", line); }

}  // namespace

PluginOutputToLog::PluginOutputToLog(bool verbose) {
  std::fflush(stdout);
  if (::fcntl(STDOUT_FILENO, F_GETFD) < 0) return;  // no standard output: nothing to move
  Fd kept(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
  int ends[2];
  if (!kept.valid() || ::pipe2(ends, O_CLOEXEC) != 0) return;
  Fd read_end(ends[0]);
  const Fd write_end(ends[1]);
  std::FILE* terminal = ::fdopen(kept.Get(), "w");
  if (terminal == nullptr) return;
  kept.Release();  // the stream's now
  // A full pipe loses lines rather than holding up the serial loop whose unit writes them.
  ::fcntl(write_end.Get(), F_SETFL, O_NONBLOCK);
  if (::dup2(write_end.Get(), STDOUT_FILENO) < 0) {
    std::fclose(terminal);
    return;
  }
  if (verbose) std::setvbuf(stdout, nullptr, _IOLBF, 0);
  terminal_ = terminal;
  read_end_ = std::move(read_end);
  reader_ = std::thread([this] { Read(); });
}

PluginOutputToLog::~PluginOutputToLog() {
  if (!reader_.joinable()) return;
  std::fflush(stdout);
  // The pipe's last write end closes: the reader logs what is left and ends.
  ::dup2(::fileno(terminal_), STDOUT_FILENO);
  reader_.join();
  std::fclose(terminal_);
}

void PluginOutputToLog::Read() {
  std::string line;
  char chunk[4096];
  while (true) {
    const ssize_t got = ::read(read_end_.Get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t index = 0; index < got; ++index) {
      if (chunk[index] == '\n') {
        LogLine(line);
        line.clear();
        continue;
      }
      if (line.size() == kLongestLine) {
        LogLine(line);
        line.clear();
      }
      line += chunk[index];
    }
  }
  if (!line.empty()) LogLine(line);
}

}  // namespace k426b_host
