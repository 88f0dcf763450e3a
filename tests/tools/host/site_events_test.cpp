// A site's events as the plug-in's callbacks feed them: the alarm list the status is filled
// from, the frame trace a page reads while frames go by, the model alarm across devices made
// anew, and what a raised model alarm shows to people and in the event stream.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/reader.h>

#include "host/controller.h"
#include "tests/support/scratch_folder.h"
#include "tools/common/json_text.h"
#include "tools/host/events/event_stream.h"
#include "tools/host/events/site_events.h"
#include "tools/host/status/status_board.h"
#include "tools/host/system/human_output.h"

namespace k426b_host {

namespace {

using ::testing::HasSubstr;

rule_value ModelRule(const std::string& model) {
  rule_value rule;
  rule.active = 1;
  rule.rule_id = kModelRuleId;
  rule.code = "70319";
  rule.level = 3;
  rule.name = "设备配置检测";
  rule.description = "本驱动类型:k426b 检测型号:" + model;
  rule.data_id = 100;
  return rule;
}

// The board's status is filled again in place each cycle, its alarm list copied only when it
// changed: a change must still reach it, and a new site's events must not take an old list.
TEST(SiteEvents, AStatusFilledAgainShowsEveryAlarmChange) {
  EventStream stream;
  std::FILE* sink = std::tmpfile();
  HumanOutput out(sink, "");
  const auto active_of = [](const SiteStatus& status) {
    std::vector<bool> active;
    for (const AlarmStatus& alarm : status.alarms) active.push_back(alarm.active);
    return active;
  };
  SiteStatus status;
  {
    auto events = std::make_shared<SiteEvents>("", stream, nullptr, "test", out);
    ZVKController controller(events);
    rule_value rule = ModelRule("X900");
    rule.active = 0;
    events->OnRule(100, rule);
    events->FillStatus(status);
    EXPECT_EQ(active_of(status), std::vector<bool>{false});
    events->FillStatus(status);
    EXPECT_TRUE(status.alarm_changes.empty());
    rule.active = 1;
    controller.BatchCheck(100, {rule});
    events->FillStatus(status);
    EXPECT_EQ(active_of(status), std::vector<bool>{true});
    ASSERT_EQ(status.alarm_changes.size(), 1u);
    EXPECT_TRUE(status.alarm_changes[0].alarm.active);
  }
  auto events = std::make_shared<SiteEvents>("", stream, nullptr, "test", out);
  events->FillStatus(status);
  EXPECT_TRUE(status.alarms.empty());
  EXPECT_TRUE(status.alarm_changes.empty());
  std::fclose(sink);
}

// The status on the board shares the site's trace instead of a copy per cycle: a page read
// while frames go by and cycles refill the status sees the newest frames, at most 200, in the
// order they crossed the line.
TEST(SiteEvents, APageReadWhileFramesComeShowsTheLastFramesInOrder) {
  EventStream stream;
  std::FILE* sink = std::tmpfile();
  HumanOutput out(sink, "");
  StatusBoard board;
  auto events = std::make_shared<SiteEvents>("north", stream, nullptr, "test", out);
  SiteStatus first;
  first.name = "north";
  events->FillStatus(first);
  board.Publish(first);

  constexpr int kSent = 1000;
  const auto numbers_shown = [&board] {
    std::vector<int> numbers;
    const Json::Value page = SiteStatusJson(*board.Site("north"), true);
    for (const Json::Value& frame : page["frames"])
      numbers.push_back(std::stoi(frame["text"].asString().substr(1)));
    return numbers;
  };
  std::atomic<bool> done{false};
  std::thread serial([&] {
    for (int number = 0; number < kSent; ++number) {
      events->Frame(number % 2 == 0 ? "tx" : "rx", "~" + std::to_string(number) + "\r");
      if (number % 22 == 21)
        board.Update("north", [&](SiteStatus& status) { events->FillStatus(status); });
    }
    done = true;
  });
  for (bool last = false; !last;) {
    last = done;
    const std::vector<int> numbers = numbers_shown();
    ASSERT_LE(numbers.size(), FrameTrace::kFrames);
    for (std::size_t i = 1; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], numbers[i - 1] + 1);
    if (!numbers.empty()) {
      ASSERT_EQ(numbers.size(), std::min<std::size_t>(numbers.back() + 1, FrameTrace::kFrames));
    }
  }
  serial.join();
  const std::vector<int> numbers = numbers_shown();
  ASSERT_EQ(numbers.size(), FrameTrace::kFrames);
  EXPECT_EQ(numbers.front(), kSent - static_cast<int>(FrameTrace::kFrames));
  EXPECT_EQ(numbers.back(), kSent - 1);
  const std::vector<FrameRecord> frames = board.Site("north")->trace->Frames();
  EXPECT_EQ(frames.back().direction, "rx");
  EXPECT_EQ(frames.back().text, "~999");
  std::fclose(sink);
}

// A sequence number carries one rule in one cycle and another in the next (a module lost its
// alarm bytes): each rule keeps its own entry and state in the alarm list.
TEST(SiteEvents, RulesTakingTurnsAtOneSequenceNumberAreListedApart) {
  EventStream stream;
  std::FILE* sink = std::tmpfile();
  HumanOutput out(sink, "");
  auto events = std::make_shared<SiteEvents>("", stream, nullptr, "test", out);
  ZVKController controller(events);
  rule_value fault;
  fault.rule_id = "RC_0";
  fault.description = "模块2整流模块故障告警";
  fault.sequence = 2;
  rule_value fan = fault;
  fan.rule_id = "K426_RC_1";
  fan.description = "模块1模块风扇告警";
  for (int cycle = 0; cycle < 2; ++cycle) {
    events->OnRule(100, fault);
    events->OnRule(100, fan);
  }
  fan.active = 1;
  controller.BatchCheck(100, {fan});
  events->OnRule(100, fault);
  SiteStatus status;
  events->FillStatus(status);
  std::map<std::string, bool> listed;
  for (const AlarmStatus& alarm : status.alarms) listed[alarm.description] = alarm.active;
  EXPECT_EQ(listed,
            (std::map<std::string, bool>{{fault.description, false}, {fan.description, true}}));
  std::fclose(sink);
}

TEST(SiteEvents, AModelAlarmOutlivesTheDeviceMadeAnewOnlyWhileItsCheckRaisesItAgain) {
  // The model found when the line comes back -> the model alarms then still raised.
  const struct {
    const char* found;
    std::vector<std::string> still_raised;
  } cases[] = {{"K426B", {}}, {"X900", {"X900"}}, {"Y100", {"Y100"}}};
  for (const auto& when : cases) {
    SCOPED_TRACE(when.found);
    EventStream stream;
    std::FILE* sink = std::tmpfile();
    HumanOutput out(sink, "");
    auto events = std::make_shared<SiteEvents>("", stream, nullptr, "test", out);
    ZVKController controller(events);
    controller.BatchCheck(100, {ModelRule("X900")});
    ASSERT_THAT(events->ModelAlarm(), HasSubstr("X900"));

    events->DeviceMadeAnew();
    events->OnQuery(100, 0x40, 0x51, {}, "");
    if (std::string(when.found) != "K426B") {
      events->OnRule(100, ModelRule(when.found));
      controller.BatchCheck(100, {ModelRule(when.found)});
    }
    // Still the device information: the check is not settled.
    events->OnQuery(100, 0x40, 0x51, {}, "");
    EXPECT_TRUE(events->TakeStaleModelAlarms().empty());
    events->OnQuery(100, 0x40, 0x41, {0xFF}, "");
    for (rule_value& rule : events->TakeStaleModelAlarms()) {
      rule.active = 0;
      controller.BatchCheck(rule.data_id, {rule});
    }
    SiteStatus status;
    events->FillStatus(status);
    std::vector<std::string> raised;
    for (const AlarmStatus& alarm : status.alarms)
      if (alarm.active)
        raised.push_back(alarm.description.substr(alarm.description.rfind(':') + 1));
    EXPECT_EQ(raised, when.still_raised);
    // Settled once: later queries find nothing more to clear.
    events->OnQuery(100, 0x40, 0x41, {0xFF}, "");
    EXPECT_TRUE(events->TakeStaleModelAlarms().empty());
    std::fclose(sink);
  }
}

// The banner sets a raised model alarm apart in the human output, and the `alarm` event names
// the rule with the members the site's alarm list gives it.
TEST(SiteEvents, ARaisedModelAlarmIsSetApartAndItsEventNamesTheRuleAsTheAlarmListDoes) {
  const ScratchFolder scratch("site-events");
  const std::filesystem::path path = scratch / "events.jsonl";
  EventStream stream;
  ASSERT_EQ(stream.Open(path.string()), "");
  std::FILE* sink = std::tmpfile();
  HumanOutput out(sink, "north");
  auto events = std::make_shared<SiteEvents>("north", stream, nullptr, "test", out);
  ZVKController controller(events);
  const rule_value rule = ModelRule("X900");
  controller.BatchCheck(100, {rule});
  stream.Close();

  std::rewind(sink);
  std::string shown(4096, '\0');
  shown.resize(std::fread(shown.data(), 1, shown.size(), sink));
  std::fclose(sink);
  const std::string stars(60, '*');
  EXPECT_EQ(shown, "[north] \n[north]   " + stars + "\n[north]   *** MODEL ALARM  70319 " +
                       rule.name + ": " + rule.description + "\n[north]   " + stars + "\n");

  std::ifstream lines(path);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  Json::Value event;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  ASSERT_TRUE(reader->parse(line.data(), line.data() + line.size(), &event, &errors)) << line;
  EXPECT_EQ(event["event"].asString(), "alarm");
  EXPECT_EQ(event["state"].asString(), "raised");
  EXPECT_EQ(event["site"].asString(), "north");
  SiteStatus status;
  events->FillStatus(status);
  const Json::Value listed = SiteStatusJson(status)["alarms"][0];
  for (const char* member : {"data_id", "level", "rule_id", "code", "name", "description"})
    EXPECT_EQ(CompactJson(event[member]), CompactJson(listed[member])) << member;
  EXPECT_EQ(event.size(), 6u + 4u);  // and "event", "time", "state" and "site"
}

}  // namespace

}  // namespace k426b_host
