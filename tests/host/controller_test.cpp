#include "host/controller.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/device.h"
#include "host/ttime.h"
#include "tests/support/recording_host.h"

namespace {

rule_value Rule(const char* id, const char* description, bool active) {
  rule_value rule;
  rule.rule_id = id;
  rule.description = description;
  rule.active = active ? 1 : 0;
  return rule;
}

TEST(ControllerLog, FormatsPlaceholdersAndPassesOtherMessagesThrough) {
  RecordingHost host;
  host.controller->InfoLog(7, "PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}",
                           7u, 2u, 1u);
  host.controller->InfoLog(7, "ProcotolError %u read 40_43 m is %d max %d", 7u,
                           static_cast<unsigned char>(9), static_cast<unsigned char>(8));
  host.controller->InfoLog(7, "p is {} not {}", static_cast<unsigned char>(1), static_cast<unsigned char>(0), 99);
  host.controller->InfoLog(7, "too few {} {}", 1);
  host.controller->InfoLog(7, "stray { brace", 1);
  EXPECT_EQ(host.events->log_texts(),
            (std::vector<std::string>{"PMBusPower:ProcotolError 7 read ac_number is 2, configured ac_number is 1",
                                      "ProcotolError %u read 40_43 m is %d max %d", "p is 1 not 0",
                                      "too few {} {}", "stray { brace"}));
}

TEST(ControllerWorker, RunsWorkItemsInOrderOnOneOtherThread) {
  RecordingHost host;
  std::vector<int> order;
  std::atomic<bool> on_caller_thread{false};
  const auto caller = std::this_thread::get_id();
  for (int i = 0; i < 50; ++i)
    host.controller->Submit([&, i] {
      if (std::this_thread::get_id() == caller) on_caller_thread = true;
      order.push_back(i);
    });
  host.drain();
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
  EXPECT_FALSE(on_caller_thread);
}

TEST(ControllerWorker, DrainsEverythingQueuedBeforeItIsDestroyed) {
  auto counter = std::make_shared<std::atomic<int>>(0);
  {
    ZVKController controller;
    for (int i = 0; i < 20; ++i) controller.Submit([counter] { ++*counter; });
  }
  EXPECT_EQ(counter->load(), 20);
}

TEST(ControllerWorker, SurvivesAWorkItemThatDropsTheLastReferenceToIt) {
  auto controller = std::make_shared<ZVKController>();
  std::weak_ptr<ZVKController> weak = controller;
  auto released = std::make_shared<std::atomic<bool>>(false);
  std::promise<void> go;
  std::shared_future<void> ready = go.get_future().share();
  controller->Submit([controller, ready, released]() mutable {
    ready.wait();
    controller.reset();  // the last reference: the controller is destroyed on its own worker
    *released = true;
  });
  controller.reset();
  go.set_value();
  for (int i = 0; i < 1000 && !*released; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(*released);
  EXPECT_TRUE(weak.expired());
}

TEST(ControllerAlarms, ReportsRaisesAndClearsPerRuleAndDescription) {
  RecordingHost host;
  // Fuse rules share one rule id and differ by description.
  EXPECT_TRUE(host.controller->BatchCheck(5, {Rule("DC_3", "fuse 1", false), Rule("DC_3", "fuse 2", true)}));
  EXPECT_FALSE(host.controller->BatchCheck(5, {Rule("DC_3", "fuse 1", false), Rule("DC_3", "fuse 2", true)}));
  EXPECT_TRUE(host.controller->BatchCheck(5, {Rule("DC_3", "fuse 1", true), Rule("DC_3", "fuse 2", false)}));
  // The same rule on another device is another alarm.
  EXPECT_TRUE(host.controller->BatchCheck(6, {Rule("DC_3", "fuse 1", true)}));
  // A rule keeps its state when it moves to another place in the list.
  EXPECT_FALSE(host.controller->BatchCheck(5, {Rule("DC_3", "fuse 2", false), Rule("DC_3", "fuse 1", true)}));
  EXPECT_TRUE(host.controller->BatchCheck(5, {Rule("DC_3", "fuse 2", true)}));
  const auto alarms = host.events->alarms();
  ASSERT_EQ(alarms.size(), 5u);
  EXPECT_EQ(alarms[0].rule.description, "fuse 2");
  EXPECT_TRUE(alarms[0].raised);
  EXPECT_EQ(alarms[1].rule.description, "fuse 1");
  EXPECT_TRUE(alarms[1].raised);
  EXPECT_EQ(alarms[2].rule.description, "fuse 2");
  EXPECT_FALSE(alarms[2].raised);
  EXPECT_EQ(alarms[3].data_id, 6u);
  EXPECT_EQ(alarms[4].rule.description, "fuse 2");
  EXPECT_TRUE(alarms[4].raised);
}

// Records the rules the controller retires as well.
class RetirementEvents : public RecordingEvents {
 public:
  void OnRetired(unsigned data_id, const std::string&, const std::string& description) override {
    std::lock_guard<std::mutex> lock(mutex_);
    retired_.push_back(std::to_string(data_id) + " " + description);
  }
  std::vector<std::string> retired() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return retired_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> retired_;
};

TEST(ControllerAlarms, RetiresClearedRulesNoLongerStatedOnceTheirUnitCompletedACycle) {
  const auto events = std::make_shared<RetirementEvents>();
  const auto controller = std::make_shared<ZVKController>(events);
  constexpr unsigned kComposite = 100;
  // Cycle 1: units 5 and 6 state their rules, the composite device its model alarm under the
  // data id of its rectifier unit.
  controller->BatchCheck(5, {Rule("AC_0", "a", false), Rule("AC_1", "b", true)});
  controller->BatchCheck(6, {Rule("DC_0", "d", false)});
  controller->BatchCheck(kComposite, {Rule("RC_0", "r", false)});
  controller->BatchCheck(kComposite, {Rule("device_model", "m", true)});
  controller->CycleCompleted();
  controller->Drain();  // a device hands its rules to the worker as well: they come after
  // Cycle 2: unit 5 states other rules, unit 6 none (its cycle did not complete); a device
  // made anew did not raise the model alarm again: it is cleared.
  controller->BatchCheck(5, {Rule("AC_2", "c", false)});
  controller->BatchCheck(kComposite, {Rule("RC_0", "r", false)});
  controller->BatchCheck(kComposite, {Rule("device_model", "m", false)});
  controller->CycleCompleted();
  controller->Drain();
  // "a" is gone; "b" stands raised; unit 6 has not completed a cycle since; "m" was stated now.
  EXPECT_EQ(events->retired(), std::vector<std::string>{"5 a"});
  // Cycle 3: the rectifier unit alone. The cleared model alarm goes; "c" waits for unit 5.
  controller->BatchCheck(kComposite, {Rule("RC_0", "r", false)});
  controller->CycleCompleted();
  controller->Drain();
  EXPECT_EQ(events->retired(), (std::vector<std::string>{"5 a", "100 m"}));
  // A rule retired is a first sighting when stated again: raised, it is reported raised.
  events->clear();
  EXPECT_TRUE(controller->BatchCheck(5, {Rule("AC_0", "a", true), Rule("AC_2", "c", false)}));
  EXPECT_FALSE(controller->BatchCheck(6, {Rule("DC_0", "d", false)}));
  ASSERT_EQ(events->alarms().size(), 1u);
  EXPECT_TRUE(events->alarms()[0].raised);
  controller->Shutdown();
}

TEST(HostTime, StampsYearLeastSignificantByteFirst) {
  using namespace boost::posix_time;
  const ptime time(boost::gregorian::date(2026, 12, 8), hours(14) + minutes(5) + seconds(9));
  EXPECT_EQ(get_ttime(time), (ttime{0xEA, 0x07, 12, 8, 14, 5, 9}));
}

// The real clock is converted once a second per thread: it must still follow the seconds.
TEST(HostTime, TheLocalClockFollowsTheSecondsOnEveryThread) {
  // The precise clock, in whole seconds: the second clock's may turn a tick late.
  const auto now = [] {
    const auto precise = boost::posix_time::microsec_clock::local_time();
    return boost::posix_time::ptime(
        precise.date(), boost::posix_time::seconds(precise.time_of_day().total_seconds()));
  };
  const auto bracketed = [now] {
    const auto before = now();
    const auto read = local_time();
    return before <= read && read <= now();
  };
  EXPECT_TRUE(bracketed());
  // Read again once the second has turned (bounded: two seconds at most).
  const auto first = now();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (now() == first && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(bracketed());
  EXPECT_GT(local_time(), first);
  EXPECT_TRUE(std::async(std::launch::async, bracketed).get());
}

TEST(HostDevice, NeverCompletedCycleLiesFarInThePast) {
  ZVKVDevice device;
  EXPECT_FALSE(device.LastRoundTime().is_special());
  EXPECT_LT(device.LastRoundTime(), boost::posix_time::second_clock::local_time() - boost::posix_time::hours(24 * 365));
}

TEST(HostDevice, LogsNothingOnceTheControllerIsGone) {
  auto events = std::make_shared<RecordingEvents>();
  auto device = std::make_shared<ZVKSPDevice>();
  {
    auto controller = std::make_shared<ZVKController>(events);
    device->Init(controller, 3, Json::Value());
    device->InfoLog("first {}", 3u);
  }
  device->InfoLog("second {}", 3u);
  EXPECT_EQ(events->log_texts(), std::vector<std::string>{"first 3"});
}

}  // namespace
