#pragma once

// The board every site writes its status to and every reader (the one-shot JSON, the metrics
// endpoint, the web page) reads from, the outputs through its read-only StatusView. Each site's
// status is replaced whole under one lock, so a reader always sees one consistent moment of a
// site, all but its frame trace, which is the site's live one; the generation counter lets a
// reader that pushes updates (Server-Sent Events) sleep until something changed.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/host/status/site_status.h"
#include "tools/host/status/status_view.h"

namespace k426b_host {

class StatusBoard : public StatusView {
 public:
  // Adds the site or replaces its status; wakes every waiting reader. Taken by value: a site
  // that moves its status in hands it over without a copy, and the status it replaces is freed
  // after the lock is let go.
  void Publish(SiteStatus status);
  // Changes a site's status in place under the board's lock; false (and nothing changed) for an
  // unknown site.
  bool Update(const std::string& name, const std::function<void(SiteStatus&)>& change);
  void Remove(const std::string& name);

  std::vector<SiteStatus> Sites() const override;
  std::optional<SiteStatus> Site(const std::string& name) const override;
  unsigned long long generation() const override;
  unsigned long long WaitForChange(unsigned long long seen,
                                   std::chrono::milliseconds timeout) const override;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> order_;
  std::map<std::string, SiteStatus> sites_;
  unsigned long long generation_ = 0;
};

}  // namespace k426b_host
