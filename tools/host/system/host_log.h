#pragma once

// The host's own log: time-stamped lines on standard error, or in a file (--log-file), through
// spdlog; -v shows more (every frame given up), -q only warnings and errors. The plug-in's
// InfoLog messages go here at info level; the plug-in's own standard-output lines do not.

#include <memory>
#include <string>

#include <spdlog/logger.h>

namespace k426b_host {

// `verbosity`: -1 quiet, 0 normal, 1 verbose. Empty result on success, else the reason.
std::string SetUpHostLog(int verbosity, const std::string& log_file);

spdlog::logger& HostLog();

// "[north] " in front of a site's log lines when it has a name; "" on the one-site command line.
inline std::string SitePrefix(const std::string& site) {
  return site.empty() ? std::string() : "[" + site + "] ";
}

}  // namespace k426b_host
