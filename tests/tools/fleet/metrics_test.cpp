// The exposition rendered from a hand-filled board: which samples appear, with which labels,
// and which are left out.

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/tools/fleet/demo_board.h"
#include "tools/common/version.h"
#include "tools/host/http/metrics.h"
#include "tools/host/status/status_board.h"

namespace k426b_host {

namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

class MetricsTest : public ::testing::Test {
 protected:
  MetricsTest() : text_(RenderMetrics(DemoSites(), "1.2.3")), lines_(Lines(text_)) {}
  std::string text_;
  std::vector<std::string> lines_;
};

TEST_F(MetricsTest, ExportsEveryServedValueAndLeavesOutRefusedOnes) {
  EXPECT_THAT(lines_, Contains(R"(k426b_value{site="north",data_id="101",unit="k426b-ac",key="channel_0_a"} 220.5)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_value{site="north",data_id="201",unit="k426b-dc",key="v"} 53.5)"));
  EXPECT_THAT(text_, Not(HasSubstr(R"(k426b_value{site="south")")));
  EXPECT_THAT(lines_, Contains(R"(k426b_data_age_seconds{site="south",data_id="301"} 75)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_data_age_seconds{site="north",data_id="100"} 1.5)"));
}

TEST_F(MetricsTest, ExportsLinesCountersAndInfo) {
  EXPECT_THAT(lines_, Contains(R"(k426b_line_up{site="north"} 1)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_line_up{site="south"} 0)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_cycles_total{site="north"} 42)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_queries_total{site="north"} 420)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_log_messages_total{site="north"} 3)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_cycle_duration_seconds{site="north"} 1.25)"));
  EXPECT_THAT(text_, Not(HasSubstr(R"(k426b_cycle_duration_seconds{site="south")")));
  EXPECT_THAT(lines_, Contains(R"(k426b_frame_errors_total{site="north",reason="bad_chksum"} 2)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_reply_errors_total{site="north",rtn="6"} 1)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_build_info{version="1.2.3"} 1)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_site_info{site="north",port="/dev/ttyUSB0",model="K426B"} 1)"));
  // Backslash, double quote and line feed escaped in label values.
  EXPECT_THAT(lines_, Contains(R"(k426b_site_info{site="south",port="tcp://127.0.0.1:4001",model="K515\"X\\\n"} 1)"));
}

TEST_F(MetricsTest, ExportsTheRectifierGroupOnlyWhileItsDataIsFresh) {
  EXPECT_THAT(lines_, Contains(R"(k426b_rectifier_value{site="north",data_id="100",field="group"} 53.5)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_rectifier_value{site="north",data_id="100",field="dc_value_1"} 57.6)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_rectifier_modules{site="north",data_id="100"} 2)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_rectifier_module_value{site="north",data_id="100",module="2",index="0"} 8.25)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_rectifier_module_value{site="north",data_id="100",module="1",index="7"} 56)"));
  // South's rectifier data is 75 s old.
  EXPECT_THAT(text_, Not(HasSubstr(R"(k426b_rectifier_value{site="south")")));
  EXPECT_THAT(text_, Not(HasSubstr(R"(k426b_rectifier_modules{site="south")")));
}

TEST_F(MetricsTest, ExportsEveryAlarmRuleWithItsState) {
  EXPECT_THAT(lines_, Contains(R"(k426b_alarm_active{site="north",data_id="201",rule_id="DC_3",code="06001",level="1",name="电池熔丝故障告警",description="直流6电池熔丝故障告警"} 1)"));
  EXPECT_THAT(lines_, Contains(R"(k426b_alarm_active{site="north",data_id="201",rule_id="DC_3",code="06001",level="1",name="电池熔丝故障告警",description="直流7电池熔丝故障告警"} 0)"));
  EXPECT_THAT(lines_, Contains(StartsWith(R"(k426b_alarm_active{site="south",data_id="300",rule_id="device_model",code="70319",level="3")")));
}

TEST_F(MetricsTest, EachFamilyHasOneHelpAndTypeBeforeItsSamples) {
  std::vector<std::string> seen;
  std::string current;
  for (const std::string& line : lines_) {
    if (line.rfind("# HELP ", 0) == 0) {
      current = line.substr(7, line.find(' ', 7) - 7);
      EXPECT_THAT(seen, Not(Contains(current))) << "family twice: " << current;
      seen.push_back(current);
    } else if (line.rfind("# TYPE ", 0) == 0) {
      EXPECT_EQ(line.substr(7, current.size() + 1), current + " ");
    } else {
      EXPECT_EQ(line.substr(0, current.size()), current) << line;
      EXPECT_TRUE(line[current.size()] == '{' || line[current.size()] == ' ') << line;
    }
  }
  EXPECT_EQ(text_.back(), '\n');
}

TEST(MetricsValueTest, WritesSpecialValuesAsPrometheusSpellsThem) {
  SiteStatus site;
  site.name = "x";
  UnitStatus unit{1, "k426b-dc", 5096, {}, std::nullopt, false, {}};
  unit.values = {{"v", std::nanf(""), ""}, {"i", HUGE_VALF, ""}, {"m", -HUGE_VALF, ""}};
  site.units = {unit};
  const auto lines = Lines(RenderMetrics({site}, "v"));
  EXPECT_THAT(lines, Contains(R"(k426b_value{site="x",data_id="1",unit="k426b-dc",key="v"} NaN)"));
  EXPECT_THAT(lines, Contains(R"(k426b_value{site="x",data_id="1",unit="k426b-dc",key="i"} +Inf)"));
  EXPECT_THAT(lines, Contains(R"(k426b_value{site="x",data_id="1",unit="k426b-dc",key="m"} -Inf)"));
  EXPECT_THAT(lines, Not(Contains(HasSubstr("k426b_data_age_seconds"))));  // no data yet
}

TEST(MetricsValueTest, LeavesOutARectifierThePluginCallsTimedOut) {
  std::vector<SiteStatus> sites = DemoSites();
  UnitStatus& rc = sites[0].units[2];
  ASSERT_EQ(rc.record_type, 5095);
  rc.values = {{"", std::nullopt, "数据未就绪"}};  // what it answers while fresh
  EXPECT_THAT(RenderMetrics(sites, "v"), HasSubstr(R"(k426b_rectifier_modules{site="north")"));
  rc.values = {{"", std::nullopt, "数据已超时"}};
  EXPECT_THAT(RenderMetrics(sites, "v"), Not(HasSubstr("k426b_rectifier_")));
  rc.values.clear();
  rc.snapshot.pop_back();  // a snapshot that does not decode gives nothing either
  EXPECT_THAT(RenderMetrics(sites, "v"), Not(HasSubstr("k426b_rectifier_")));
}

TEST(MetricsBoardTest, RendersTheBoardWithThisBuildsVersion) {
  StatusBoard board;
  for (const auto& site : DemoSites()) board.Publish(site);
  const std::string text = RenderMetrics(board);
  EXPECT_THAT(text, HasSubstr(std::string("k426b_build_info{version=\"") + K426B_VERSION_STRING + "\"} 1\n"));
  EXPECT_THAT(text, HasSubstr(R"(k426b_line_up{site="south"} 0)"));
}

}  // namespace

}  // namespace k426b_host
