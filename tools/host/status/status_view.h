#pragma once

// What a reader of the sites' status (the metrics, the web page) may do: read every site, read
// one, and wait for a change. Read-only: a reader holds a view, never the board itself.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tools/host/status/site_status.h"

namespace k426b_host {

class StatusView {
 public:
  virtual ~StatusView() = default;

  // Every site, in the order the sites were first published.
  virtual std::vector<SiteStatus> Sites() const = 0;
  // One site; empty for a site the board does not know (any more).
  virtual std::optional<SiteStatus> Site(const std::string& name) const = 0;

  // Counts the changes: a reader that saw one generation knows nothing changed while it is the
  // same.
  virtual unsigned long long generation() const = 0;
  // Blocks until the generation differs from `seen` or `timeout` has passed; returns the
  // generation then.
  virtual unsigned long long WaitForChange(unsigned long long seen,
                                           std::chrono::milliseconds timeout) const = 0;
};

}  // namespace k426b_host
