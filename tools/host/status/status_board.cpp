#include "tools/host/status/status_board.h"

#include <algorithm>

namespace k426b_host {

void StatusBoard::Publish(SiteStatus status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = sites_.find(status.name);
    if (found == sites_.end()) {
      order_.push_back(status.name);
      sites_.emplace(status.name, std::move(status));
    } else {
      std::swap(found->second, status);
    }
    ++generation_;
  }
  changed_.notify_all();
}

bool StatusBoard::Update(const std::string& name, const std::function<void(SiteStatus&)>& change) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = sites_.find(name);
    if (found == sites_.end()) return false;
    change(found->second);
    ++generation_;
  }
  changed_.notify_all();
  return true;
}

void StatusBoard::Remove(const std::string& name) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sites_.erase(name) == 0) return;
    order_.erase(std::remove(order_.begin(), order_.end(), name), order_.end());
    ++generation_;
  }
  changed_.notify_all();
}

std::optional<SiteStatus> StatusBoard::Site(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = sites_.find(name);
  if (found == sites_.end()) return std::nullopt;
  return found->second;
}

std::vector<SiteStatus> StatusBoard::Sites() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<SiteStatus> sites;
  sites.reserve(order_.size());
  for (const std::string& name : order_) sites.push_back(sites_.at(name));
  return sites;
}

unsigned long long StatusBoard::generation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

unsigned long long StatusBoard::WaitForChange(unsigned long long seen,
                                              std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return generation_ != seen; });
  return generation_;
}

}  // namespace k426b_host
