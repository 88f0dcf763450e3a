#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "host/export.h"

// The threshold worker: one thread that runs work items one at a time, in the order given. It
// may serve one controller or many: every item is tagged with its owner, and each owner counts
// its own items, so an owner's Drain waits for its items only and its Shutdown stops only its
// own submissions.
//
// Wake-ups are kept to what the hand-over needs: a submission wakes the thread only while it
// sleeps, the thread runs everything queued before it sleeps again, and it signals an owner's
// idleness only when that owner's last item has run and a Drain is waiting for it.
class ZVK_API ThresholdWorker {
 public:
  // One submitter's share of the worker.
  class Owner;

  ThresholdWorker();
  // Stop(): runs what is queued, then joins the thread.
  ~ThresholdWorker();
  ThresholdWorker(const ThresholdWorker&) = delete;
  ThresholdWorker& operator=(const ThresholdWorker&) = delete;

  std::shared_ptr<Owner> AddOwner();

  // Queues `work` behind everything submitted before it. Once the owner is shut down or the
  // worker stopped, `work` runs at once on the caller instead.
  void Submit(const std::shared_ptr<Owner>& owner, std::function<void()> work);
  // Waits until every item the owner submitted so far has run. On the worker thread itself it
  // returns at once: a work item cannot wait for the items queued behind it.
  void Drain(Owner& owner);
  // Stops the owner's submissions (later ones run on the caller) and drains what it queued.
  // True on the first call only.
  bool Shutdown(Owner& owner);
  // Runs everything queued and ends the thread: joined, or, when called by a work item, left to
  // finish the queue on its own. Later submissions of every owner run on the caller.
  void Stop();

 private:
  struct State;
  static void Run(std::shared_ptr<State> state);
  bool OnWorkerThread() const { return std::this_thread::get_id() == worker_id_; }

  // Apart from this object: the last reference to the worker may be dropped by a work item.
  std::shared_ptr<State> state_;
  std::thread thread_;
  std::thread::id worker_id_;
};
