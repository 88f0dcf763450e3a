#pragma once

// The open files the process may have: every line, socket, epoll set and file is one. A
// thousand sites need more than the usual soft limit of 1,024, so the host raises it to the hard
// limit at start, and a sites file that needs more than even that is refused before anything is
// opened.

#include <cstddef>

namespace k426b_host {

// Raises the soft limit on open files to the hard limit; returns the limit now in force.
std::size_t RaiseFileLimit();

// About how many open files `sites` sites served by loops of `sites_per_loop` need: one line
// each, an epoll set and an eventfd per loop, and kFileReserve for the rest of the process (the
// standard streams, the history and its journal, the event and log files, the plug-in, the
// HTTP endpoint and its clients, the signal descriptors).
constexpr std::size_t kFileReserve = 64;
std::size_t FilesNeeded(std::size_t sites, std::size_t sites_per_loop);

}  // namespace k426b_host
