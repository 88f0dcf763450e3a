#include "tools/host/system/file_limit.h"

#include <sys/resource.h>

namespace k426b_host {

std::size_t RaiseFileLimit() {
  rlimit limit{};
  // Unknown: nothing is refused for it.
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return static_cast<std::size_t>(-1);
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? static_cast<std::size_t>(-1)
                                         : static_cast<std::size_t>(limit.rlim_cur);
}

std::size_t FilesNeeded(std::size_t sites, std::size_t sites_per_loop) {
  const std::size_t loops =
      sites_per_loop == 0 ? sites : (sites + sites_per_loop - 1) / sites_per_loop;
  return sites + 2 * loops + kFileReserve;
}

}  // namespace k426b_host
