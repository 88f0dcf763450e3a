#include "host/controller.h"

#include <utility>

ZVKController::ZVKController(std::shared_ptr<HostEvents> events)
    : events_(events ? std::move(events) : std::make_shared<HostEvents>()),
      worker_([this] { RunWorker(); }) {}

ZVKController::~ZVKController() { Shutdown(); }

void ZVKController::Log(unsigned data_id, const std::string& text) { events_->OnLog(data_id, text); }

void ZVKController::Submit(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (!stopping_) {
      queue_.push_back(std::move(work));
      queue_changed_.notify_all();
      return;
    }
  }
  work();
}

void ZVKController::Drain() {
  std::unique_lock<std::mutex> lock(queue_mutex_);
  queue_changed_.wait(lock, [this] { return queue_.empty() && !running_item_; });
}

void ZVKController::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    stopping_ = true;
    queue_changed_.notify_all();
  }
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

void ZVKController::RunWorker() {
  std::unique_lock<std::mutex> lock(queue_mutex_);
  for (;;) {
    queue_changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) break;  // stopping, and everything submitted has run
    std::function<void()> work = std::move(queue_.front());
    queue_.pop_front();
    running_item_ = true;
    lock.unlock();
    try {
      work();
    } catch (...) {
      // A failing work item must not take the worker, and every later item, down with it.
    }
    lock.lock();
    running_item_ = false;
    queue_changed_.notify_all();
  }
}

bool ZVKController::BatchCheck(unsigned data_id, const std::vector<rule_value>& rules) {
  struct Change {
    const rule_value* rule;
    bool raised;
  };
  std::vector<Change> changes;
  {
    std::lock_guard<std::mutex> lock(alarm_mutex_);
    for (const rule_value& rule : rules) {
      const bool active = rule.active != 0;
      auto key = std::make_tuple(data_id, rule.rule_id, rule.description);
      auto found = alarm_states_.find(key);
      if (found == alarm_states_.end()) {
        alarm_states_.emplace(std::move(key), active);
        if (active) changes.push_back({&rule, true});
      } else if (found->second != active) {
        found->second = active;
        changes.push_back({&rule, active});
      }
    }
  }
  for (const Change& change : changes) events_->OnAlarm(data_id, *change.rule, change.raised);
  return !changes.empty();
}

void ZVKController::Publish(unsigned data_id, int record_type, const unsigned char* bytes,
                            unsigned length) {
  events_->OnSnapshot(data_id, record_type, Bytes(bytes, bytes + length));
}

void ZVKController::SaveHistory(unsigned data_id, int record_type, const unsigned char* bytes,
                                unsigned length) {
  events_->OnHistory(data_id, record_type, Bytes(bytes, bytes + length));
}
