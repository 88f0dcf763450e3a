#include "host/threshold_worker.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/controller.h"

namespace {

constexpr std::chrono::seconds kDeadline{10};

// Controllers sharing one worker, as the sites of one service do.
struct SharedWorker {
  std::shared_ptr<ThresholdWorker> worker = std::make_shared<ThresholdWorker>();
  std::shared_ptr<ZVKController> Controller() { return std::make_shared<ZVKController>(nullptr, worker); }
};

// A work item that holds the worker until released, and tells when it has started.
struct BlockingItem {
  std::promise<void> started;
  std::promise<void> release;
  std::function<void()> Work() {
    return [this, go = release.get_future().share()] {
      started.set_value();
      go.wait();
    };
  }
  bool WaitStarted() {
    return started.get_future().wait_for(kDeadline) == std::future_status::ready;
  }
};

// Starts `call` on another thread, to see whether it returns while the worker is held.
std::future<void> Start(std::function<void()> call) { return std::async(std::launch::async, std::move(call)); }
bool Returned(std::future<void>& call) { return call.wait_for(kDeadline) == std::future_status::ready; }

TEST(SharedThresholdWorker, KeepsEachOwnersOrderOnOneThreadThatIsNotTheCallers) {
  SharedWorker shared;
  auto first = shared.Controller();
  auto second = shared.Controller();
  std::mutex mutex;
  std::vector<std::pair<int, int>> ran;  // owner, item
  std::vector<std::thread::id> threads;
  for (int i = 0; i < 100; ++i)
    for (int owner : {1, 2})
      (owner == 1 ? first : second)->Submit([&, owner, i] {
        std::lock_guard<std::mutex> lock(mutex);
        ran.emplace_back(owner, i);
        threads.push_back(std::this_thread::get_id());
      });
  first->Drain();
  second->Drain();
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(ran.size(), 200u);
  for (std::size_t k = 0; k < ran.size(); ++k) {
    EXPECT_EQ(ran[k].first, k % 2 == 0 ? 1 : 2);
    EXPECT_EQ(ran[k].second, static_cast<int>(k / 2));
    EXPECT_EQ(threads[k], threads[0]);
  }
  EXPECT_NE(threads[0], std::this_thread::get_id());
}

TEST(SharedThresholdWorker, DrainAndShutdownOfOneOwnerDoNotWaitForAnotherOwnersItem) {
  SharedWorker shared;
  auto quick = shared.Controller();
  auto stuck = shared.Controller();
  std::atomic<int> quick_ran{0};
  quick->Submit([&] { ++quick_ran; });
  BlockingItem blocking;
  stuck->Submit(blocking.Work());
  ASSERT_TRUE(blocking.WaitStarted());
  auto drain = Start([&] { quick->Drain(); });
  const bool drained = Returned(drain);
  // Shutting one owner down leaves the shared thread to the others.
  auto shutdown = Start([&] { quick->Shutdown(); });
  const bool shut_down = Returned(shutdown);
  blocking.release.set_value();  // a call that hung returns now, before the test ends
  drain.get();
  shutdown.get();
  EXPECT_TRUE(drained);
  EXPECT_TRUE(shut_down);
  EXPECT_EQ(quick_ran.load(), 1);
  std::thread::id ran_on;
  quick->Submit([&] { ran_on = std::this_thread::get_id(); });  // at once, on the caller
  EXPECT_EQ(ran_on, std::this_thread::get_id());
  stuck->Submit([&] { ran_on = std::this_thread::get_id(); });
  stuck->Drain();
  EXPECT_NE(ran_on, std::this_thread::get_id());
}

TEST(SharedThresholdWorker, DrainInsideAWorkItemReturnsAtOnce) {
  SharedWorker shared;
  auto first = shared.Controller();
  auto second = shared.Controller();
  BlockingItem blocking;
  second->Submit(blocking.Work());
  std::atomic<bool> drained{false};
  first->Submit([&] {
    first->Drain();
    second->Drain();
    drained = true;
  });
  ASSERT_TRUE(blocking.WaitStarted());
  blocking.release.set_value();
  first->Drain();
  EXPECT_TRUE(drained);
}

TEST(SharedThresholdWorker, AFailingItemLeavesEveryLaterItemToRun) {
  SharedWorker shared;
  auto failing = shared.Controller();
  auto other = shared.Controller();
  std::atomic<int> ran{0};
  failing->Submit([] { throw std::runtime_error("broken item"); });
  other->Submit([&] { ++ran; });
  failing->Submit([&] { ++ran; });
  failing->Drain();
  other->Drain();
  EXPECT_EQ(ran.load(), 2);
}

// The last reference to a controller dropped by its own item, on the shared thread: the
// controller goes, the thread serves the others on. When that controller held the last
// reference to the worker too, the worker goes with it and its thread ends on its own.
TEST(SharedThresholdWorker, SurvivesAnItemThatDropsTheLastReferenceToItsController) {
  for (const bool last_owner : {false, true}) {
    SCOPED_TRACE(last_owner ? "the worker's last owner" : "one owner of several");
    auto shared = std::make_unique<SharedWorker>();
    auto controller = shared->Controller();
    auto survivor = shared->Controller();
    std::weak_ptr<ThresholdWorker> worker = shared->worker;
    if (last_owner) {
      survivor.reset();
      shared.reset();
    }
    std::weak_ptr<ZVKController> weak = controller;
    std::promise<void> go;
    std::promise<void> released;
    controller->Submit([controller, ready = go.get_future().share(), &released]() mutable {
      ready.wait();
      controller.reset();  // the last reference: destroyed on the worker thread
      released.set_value();
    });
    controller.reset();
    go.set_value();
    ASSERT_EQ(released.get_future().wait_for(kDeadline), std::future_status::ready);
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(worker.expired(), last_owner);
    if (survivor) {
      std::atomic<bool> ran{false};
      survivor->Submit([&] { ran = true; });
      survivor->Drain();
      EXPECT_TRUE(ran);
    }
  }
}

}  // namespace
