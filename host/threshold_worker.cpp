#include "host/threshold_worker.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

// Guarded by the worker's mutex.
class ThresholdWorker::Owner {
 public:
  std::condition_variable idle;  // its last item has run
  unsigned pending = 0;          // items queued or running
  unsigned draining = 0;         // Drain calls waiting on `idle`
  bool stopped = false;
};

struct ThresholdWorker::State {
  struct Item {
    std::shared_ptr<Owner> owner;
    std::function<void()> work;
  };
  std::mutex mutex;
  std::condition_variable ready;  // the thread sleeps on it while the queue is empty
  std::deque<Item> items;
  bool sleeping = false;  // the thread waits on `ready` and no one has woken it yet
  bool stopping = false;

  // Under the mutex: whether the caller must wake the thread, once the mutex is released (so
  // the thread does not wake only to block on it).
  bool TakeWakeUp() {
    const bool wake = sleeping;
    sleeping = false;
    return wake;
  }
};

ThresholdWorker::ThresholdWorker()
    : state_(std::make_shared<State>()), thread_(Run, state_), worker_id_(thread_.get_id()) {}

ThresholdWorker::~ThresholdWorker() { Stop(); }

std::shared_ptr<ThresholdWorker::Owner> ThresholdWorker::AddOwner() {
  return std::make_shared<Owner>();
}

void ThresholdWorker::Submit(const std::shared_ptr<Owner>& owner, std::function<void()> work) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (owner->stopped || state_->stopping) {
    lock.unlock();
    work();
    return;
  }
  state_->items.push_back(State::Item{owner, std::move(work)});
  ++owner->pending;
  const bool wake = state_->TakeWakeUp();
  lock.unlock();
  if (wake) state_->ready.notify_one();
}

void ThresholdWorker::Drain(Owner& owner) {
  if (OnWorkerThread()) return;
  std::unique_lock<std::mutex> lock(state_->mutex);
  ++owner.draining;
  owner.idle.wait(lock, [&owner] { return owner.pending == 0; });
  --owner.draining;
}

bool ThresholdWorker::Shutdown(Owner& owner) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (owner.stopped) return false;
    owner.stopped = true;
  }
  Drain(owner);
  return true;
}

void ThresholdWorker::Stop() {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
    wake = state_->TakeWakeUp();
  }
  if (wake) state_->ready.notify_one();
  if (!thread_.joinable()) return;
  if (OnWorkerThread())
    thread_.detach();  // stopped by a work item: the thread finishes the queue on its own
  else
    thread_.join();
}

void ThresholdWorker::Run(std::shared_ptr<State> state) {
  std::deque<State::Item> batch;
  std::unique_lock<std::mutex> lock(state->mutex);
  for (;;) {
    if (state->items.empty()) {
      if (state->stopping) break;  // everything submitted has run
      state->sleeping = true;
      state->ready.wait(lock, [&state] { return state->stopping || !state->items.empty(); });
      state->sleeping = false;
      continue;
    }
    // Everything queued is taken at once: items submitted meanwhile need no wake-up.
    batch.swap(state->items);
    lock.unlock();
    for (State::Item& item : batch) {
      try {
        item.work();
      } catch (...) {
        // A failing work item must not take the worker, and every later item, down with it.
      }
      item.work = nullptr;  // release what the item held before reporting it done
      lock.lock();
      const bool idle = --item.owner->pending == 0 && item.owner->draining > 0;
      lock.unlock();
      if (idle) item.owner->idle.notify_all();
      item.owner = nullptr;
    }
    batch.clear();
    lock.lock();
  }
}
