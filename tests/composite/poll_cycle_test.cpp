// The order of queries in a poll cycle, as the recording host sees them on the line.

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/composite/k426b_fixture.h"

namespace {

using Strings = std::vector<std::string>;
using PollCycle = CompositeTest<>;

const Strings kFullCycle = {"40/41", "40/43", "40/44", "41/41", "41/43",
                            "41/44", "42/41", "42/44", "40/46", "42/46"};

TEST_F(PollCycle, FirstCycleWithAllGroupsRunsTheModelCheckThenTenQueries) {
  StartMatching();

  EXPECT_TRUE(equipment.Poll());

  Strings expected = {"40/51"};
  expected.insert(expected.end(), kFullCycle.begin(), kFullCycle.end());
  EXPECT_EQ(Queries(), expected);
  EXPECT_EQ(Cycles(), (std::vector<unsigned>{1}));
  EXPECT_EQ(device->PollState(), 0);
  EXPECT_EQ(host.events->log_texts(), Strings{});
}

TEST_F(PollCycle, EndOfCycleClosesAcThenDcThenRectifierChildren) {
  system.ac_screens = {1, 1};
  system.dc_voltages = {53.5f, 54.0f};
  StartMatching();

  equipment.Poll();

  std::vector<std::pair<unsigned, int>> published;
  for (const RecordedSnapshot& snapshot : host.events->snapshots())
    published.emplace_back(snapshot.data_id, snapshot.record_type);
  const std::vector<std::pair<unsigned, int>> expected = {
      {101, 5094}, {102, 5094}, {201, 5096}, {202, 5096}, {kCompositeId, 5095}};
  EXPECT_EQ(published, expected);
}

TEST_F(PollCycle, CycleWithDataAndNoChangeBitsSkipsSwitchAndAlarmQueries) {
  StartMatching();
  equipment.Poll();
  const std::size_t first_cycle = QueryCount();

  equipment.Poll();

  EXPECT_EQ(Queries(first_cycle), (Strings{"40/41", "41/41", "42/41", "40/46", "42/46"}));
  EXPECT_EQ(Cycles(), (std::vector<unsigned>{1, 2}));
}

TEST_F(PollCycle, QuietTimeRefusesANewCycleOneSecondAfterTheLastAndAllowsItAfterTwo) {
  StartMatching();
  equipment.Poll();
  const std::size_t first_cycle = QueryCount();

  clock.advance(boost::posix_time::seconds(1));
  EXPECT_FALSE(equipment.PollNow());
  EXPECT_EQ(device->Busy(), 0);
  EXPECT_EQ(QueryCount(), first_cycle);

  clock.advance(boost::posix_time::seconds(1));
  EXPECT_TRUE(equipment.PollNow());
  EXPECT_EQ(Queries(first_cycle, first_cycle + 1), (Strings{"40/41"}));
}

TEST_F(PollCycle, EveryReplyIsExaminedAfterAPauseOf20Milliseconds) {
  StartMatching();
  equipment.Poll();

  const std::size_t replies = host.events->replies().size();
  ASSERT_EQ(replies, 11u);
  EXPECT_EQ(clock.pauses(),
            std::vector<std::chrono::microseconds>(replies, std::chrono::milliseconds(20)));
}

struct ChangeBitsRow {
  const char* name;
  unsigned char ac_flag;
  unsigned char rc_flag;
  unsigned char dc_flag;
  Strings queries;
};

// GoogleTest shows a row by its name (in --gtest_list_tests and in failures) rather than as the
// raw bytes of the struct, which hold pointers and so differ from run to run.
void PrintTo(const ChangeBitsRow& row, std::ostream* out) { *out << row.name; }

class ChangeBits : public CompositeTest<>, public ::testing::WithParamInterface<ChangeBitsRow> {};

TEST_P(ChangeBits, OnceDataIsValidEachGroupFollowsItsDataFlag) {
  StartMatching();
  equipment.Poll();
  const std::size_t first_cycle = QueryCount();
  system.ac_flag = GetParam().ac_flag;
  system.rc_flag = GetParam().rc_flag;
  system.dc_flag = GetParam().dc_flag;
  system.script(equipment);

  equipment.Poll();

  EXPECT_EQ(Queries(first_cycle), GetParam().queries);
}

INSTANTIATE_TEST_SUITE_P(
    PollCycle, ChangeBits,
    ::testing::Values(
        ChangeBitsRow{"AcAlarmBitAlone", 0x01, 0, 0,
                      {"40/41", "40/44", "41/41", "42/41", "40/46", "42/46"}},
        ChangeBitsRow{"AcSwitchBitAlone", 0x10, 0, 0,
                      {"40/41", "40/43", "41/41", "42/41", "40/46", "42/46"}},
        ChangeBitsRow{"AcBothBits", 0x11, 0, 0,
                      {"40/41", "40/43", "40/44", "41/41", "42/41", "40/46", "42/46"}},
        ChangeBitsRow{"RectifierSwitchBitAlone", 0, 0x10, 0,
                      {"40/41", "41/41", "41/43", "42/41", "40/46", "42/46"}},
        ChangeBitsRow{"RectifierAlarmBitAlone", 0, 0x01, 0,
                      {"40/41", "41/41", "41/44", "42/41", "40/46", "42/46"}},
        ChangeBitsRow{"DcSwitchBitAlone", 0, 0, 0x10,
                      {"40/41", "41/41", "42/41", "42/44", "40/46", "42/46"}},
        ChangeBitsRow{"DcAlarmBitAlone", 0, 0, 0x01,
                      {"40/41", "41/41", "42/41", "42/44", "40/46", "42/46"}},
        ChangeBitsRow{"UnrelatedBitsAskForNothing", 0x22, 0x44, 0x88,
                      {"40/41", "41/41", "42/41", "40/46", "42/46"}}),
    [](const ::testing::TestParamInfo<ChangeBitsRow>& info) { return info.param.name; });

TEST_F(PollCycle, WithoutAcChildrenTheCycleStartsAtTheRectifiersAndSkipsAcParameters) {
  system.ac_screens.clear();
  StartMatching();

  equipment.Poll();
  const std::size_t first_cycle = QueryCount();
  equipment.Poll();

  EXPECT_EQ(Queries(0, first_cycle), (Strings{"40/51", "41/41", "41/43", "41/44", "42/41",
                                                "42/44", "42/46"}));
  EXPECT_EQ(Queries(first_cycle), (Strings{"41/41", "42/41", "42/46"}));
  EXPECT_EQ(Cycles(), (std::vector<unsigned>{1, 2}));
}

TEST_F(PollCycle, WithoutDcChildrenTheCycleEndsWithTheLastRectifierReply) {
  system.dc_voltages.clear();
  StartMatching();

  equipment.Poll();
  const std::size_t first_cycle = QueryCount();
  equipment.Poll();

  EXPECT_EQ(Queries(0, first_cycle),
            (Strings{"40/51", "40/41", "40/43", "40/44", "41/41", "41/43", "41/44"}));
  EXPECT_EQ(Queries(first_cycle), (Strings{"40/41", "41/41"}));
  EXPECT_EQ(Cycles(), (std::vector<unsigned>{1, 2}));
}

TEST_F(PollCycle, WithoutDcChildrenARectifierSwitchReplyCanEndTheCycle) {
  system.dc_voltages.clear();
  StartMatching();
  equipment.Poll();
  const std::size_t first_cycle = QueryCount();
  system.rc_flag = 0x10;
  system.script(equipment);

  equipment.Poll();

  EXPECT_EQ(Queries(first_cycle), (Strings{"40/41", "41/41", "41/43"}));
  EXPECT_EQ(Cycles(), (std::vector<unsigned>{1, 2}));
}

// Information bytes each query carries, by protocol version byte.
std::vector<std::pair<std::string, Bytes>> queries_with_info(const RecordingEvents& events) {
  std::vector<std::pair<std::string, Bytes>> rows;
  const std::vector<std::string> names = query_names(events);
  const std::vector<RecordedQuery> queries = events.queries();
  for (std::size_t i = 0; i < queries.size(); ++i) rows.emplace_back(names[i], queries[i].info);
  return rows;
}

TEST_F(PollCycle, AtVersion20OnlyAcQueriesCarryTheCommandGroupByte) {
  StartMatching();

  equipment.Poll();

  const Bytes group{0xFF};
  const std::vector<std::pair<std::string, Bytes>> expected = {
      {"40/51", {}},    {"40/41", group}, {"40/43", group}, {"40/44", group},
      {"41/41", {}},    {"41/43", {}},    {"41/44", {}},    {"42/41", {}},
      {"42/44", {}},    {"40/46", {}},    {"42/46", {}}};
  EXPECT_EQ(queries_with_info(*host.events), expected);
  EXPECT_EQ(host.events->queries().at(1).frame, "~20014041E002FFFD11");
}

class K426BAtVersion21 : public K426B {
 public:
  K426BAtVersion21() { version_ = 0x21; }
};

TEST(PollCycleVersion21, DcQueriesCarryTheCommandGroupByteToo) {
  CompositeRig<K426BAtVersion21> test;
  test.StartMatching();

  test.equipment.Poll();

  const Bytes group{0xFF};
  const std::vector<std::pair<std::string, Bytes>> expected = {
      {"40/51", {}},    {"40/41", group}, {"40/43", group}, {"40/44", group},
      {"41/41", {}},    {"41/43", {}},    {"41/44", {}},    {"42/41", group},
      {"42/44", group}, {"40/46", {}},    {"42/46", {}}};
  EXPECT_EQ(queries_with_info(*test.host.events), expected);
  EXPECT_EQ(test.Cycles(), (std::vector<unsigned>{1}));
}

}  // namespace
