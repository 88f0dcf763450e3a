#include "host/controller.h"

#include <utility>

ZVKController::ZVKController(std::shared_ptr<HostEvents> events)
    : events_(events ? std::move(events) : std::make_shared<HostEvents>()),
      queue_(std::make_shared<WorkQueue>()),
      worker_(RunWorker, queue_) {}

ZVKController::~ZVKController() { Shutdown(); }

void ZVKController::Log(unsigned data_id, const std::string& text) { events_->OnLog(data_id, text); }

void ZVKController::Submit(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(queue_->mutex);
    if (!queue_->stopping) {
      queue_->items.push_back(std::move(work));
      queue_->changed.notify_all();
      return;
    }
  }
  work();
}

void ZVKController::Drain() {
  if (worker_.get_id() == std::this_thread::get_id()) return;  // a work item cannot wait for itself
  std::unique_lock<std::mutex> lock(queue_->mutex);
  queue_->changed.wait(lock, [this] { return queue_->items.empty() && !queue_->running_item; });
}

void ZVKController::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(queue_->mutex);
    queue_->stopping = true;
    queue_->changed.notify_all();
  }
  if (!worker_.joinable()) return;
  if (worker_.get_id() == std::this_thread::get_id())
    worker_.detach();  // destroyed by a work item: the worker finishes the queue on its own
  else
    worker_.join();
}

void ZVKController::RunWorker(std::shared_ptr<WorkQueue> queue) {
  std::unique_lock<std::mutex> lock(queue->mutex);
  for (;;) {
    queue->changed.wait(lock, [&queue] { return queue->stopping || !queue->items.empty(); });
    if (queue->items.empty()) break;  // stopping, and everything submitted has run
    std::function<void()> work = std::move(queue->items.front());
    queue->items.pop_front();
    queue->running_item = true;
    lock.unlock();
    try {
      work();
    } catch (...) {
      // A failing work item must not take the worker, and every later item, down with it.
    }
    work = nullptr;  // release what the item held before reporting it done
    lock.lock();
    queue->running_item = false;
    queue->changed.notify_all();
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
      auto found = alarm_states_.find(RuleKey{data_id, rule.rule_id, rule.description});
      if (found == alarm_states_.end()) {
        const auto& texts = alarm_texts_.emplace_back(rule.rule_id, rule.description);
        alarm_states_.emplace(RuleKey{data_id, texts.first, texts.second}, active);
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
