#pragma once

// The service's reload on SIGHUP: the sites file read again and applied to the running sites,
// and how a sites file's problems are told.

#include <cstddef>
#include <string>
#include <vector>

#include "tools/host/app/site_set.h"
#include "tools/host/events/event_stream.h"

namespace k426b_host {

// Re-reads the sites file and applies it, or keeps every running site when the file is
// unusable or its sites would need more open files than the limit allows; either way the log and
// the event stream (`reload`) say what happened.
void Reload(const std::string& path, SiteSet& sites, EventStream& stream);

// Why `sites` sites cannot run within the open-file limit (raised to the hard limit first), or
// empty when they can: the same words at the start and at a reload.
std::string FileLimitProblem(std::size_t sites);

// "sites file PATH:" and each problem on a line of its own.
std::string SitesFileProblems(const std::string& path, const std::vector<std::string>& problems);

}  // namespace k426b_host
