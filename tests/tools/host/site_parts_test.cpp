// The pieces a site is made of, apart from its device and line: the values table people read,
// the summary of its repeated problems in the log, the two ways its history rows are stored (at
// once, or with other sites' rows at a flush), and the back-off between tries of its line.

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/rule_value.h"
#include "tests/support/scratch_folder.h"
#include "tools/host/site/reopen_backoff.h"
#include "tools/host/site/values_report.h"
#include "tools/host/store/history_batch.h"
#include "tools/host/store/history_store.h"
#include "tools/host/system/repeat_summary.h"

namespace k426b_host {

namespace {

using ::testing::IsEmpty;

TEST(RepeatSummary, EachReasonIsToldOnceThenItsRepeatsAreSummedUpAtMostOnceAPeriod) {
  using std::chrono::seconds;
  const RepeatSummary::Clock::time_point start{seconds(1000)};
  RepeatSummary summary(seconds(60));
  EXPECT_EQ(summary.PeriodText(), "minute");
  EXPECT_TRUE(summary.Occurred("bad CHKSUM", start));
  EXPECT_TRUE(summary.Occurred("truncated frame", start + seconds(1)));  // a reason of its own
  for (int repeat = 0; repeat < 400; ++repeat) EXPECT_FALSE(summary.Occurred("bad CHKSUM", start));
  for (int repeat = 0; repeat < 12; ++repeat)
    EXPECT_FALSE(summary.Occurred("truncated frame", start + seconds(2)));
  // A period after the last line told, the one of the second reason.
  EXPECT_FALSE(summary.Due(start + seconds(60)));
  const auto due = summary.Due(start + seconds(61));
  ASSERT_TRUE(due);
  EXPECT_EQ(due->total, 412u);
  EXPECT_EQ(due->kinds, "bad CHKSUM ×400, truncated frame ×12");
  EXPECT_FALSE(summary.Due(start + seconds(62)));  // nothing counted since

  // Summed up a moment ago: a repeat waits for the next summary, not told on its own...
  EXPECT_FALSE(summary.Occurred("bad CHKSUM", start + seconds(100)));
  EXPECT_FALSE(summary.Due(start + seconds(120)));
  EXPECT_EQ(summary.Due(start + seconds(121))->kinds, "bad CHKSUM ×1");
  // ...and after a quiet period it is told at once again.
  EXPECT_TRUE(summary.Occurred("bad CHKSUM", start + seconds(181)));
  EXPECT_FALSE(summary.Due(start + seconds(300)));
}

TEST(ValuesReport, TheTableShowsTheModelAlarmEveryUnitAndEveryAlarmChangeLineByLine) {
  ValuesReport report("cycle 3 - 11 queries, 1.20 s", "the equipment is not a K426B");
  UnitStatus fresh;
  fresh.data_id = 201;
  fresh.device_type = "k426b-dc";
  fresh.age_s = 4;
  report.AddUnit(fresh, {{"v", 53.5f, ""}, {"a", std::nullopt, "busy"}});
  UnitStatus cached = fresh;
  cached.data_id = 101;
  cached.device_type = "k426b-ac";
  cached.age_s = 200;
  cached.cached = true;
  report.AddUnit(cached, {{"ia", std::nullopt, "not ready"}});
  UnitStatus empty = fresh;
  empty.age_s.reset();
  report.AddUnit(empty, {});
  rule_value rule;
  rule.rule_id = "dc_fuse";
  rule.code = "F01";
  rule.level = 2;
  rule.name = "fuse";
  rule.description = "fuse 1 open";
  report.AddAlarmChange({201, rule, true});
  report.AddAlarmChange({201, rule, false});
  EXPECT_EQ(report.Text(),
            "cycle 3 - 11 queries, 1.20 s\n"
            "  !!! MODEL ALARM: the equipment is not a K426B\n"
            "    201 k426b-dc  (4 s old) v 53.5  a: busy\n"
            "    101 k426b-ac  (cached, 3 min old) not ready\n"
            "    201 k426b-dc  (no data) \n"
            "  alarm raised    201 level 2 dc_fuse F01 fuse: fuse 1 open\n"
            "  alarm cleared   201 level 2 dc_fuse F01 fuse: fuse 1 open");
  EXPECT_EQ(ValuesReport("start", "").Text(), "start");
}

TEST(HistorySink, TheStoreKeepsRowsAtOnceAndABatchOnlyAtItsFlushBothTellingTheSite) {
  const ScratchFolder scratch("sink");
  const std::string path = (scratch / "history.sqlite").string();
  std::string error;
  auto store = HistoryStore::Open(path, error);
  ASSERT_TRUE(store) << error;
  HistoryBatch batch;
  BatchedHistory batched(batch, *store);
  const std::string source = "simulator";
  int told = 0;
  const auto tell = [&](const std::vector<HistoryRow>& rows, const std::vector<std::size_t>& failed,
                        const std::string& why) {
    ++told;
    EXPECT_EQ(rows.size(), 1u);
    EXPECT_THAT(failed, IsEmpty());
    EXPECT_EQ(why, "");
  };
  for (HistorySink* sink :
       {static_cast<HistorySink*>(store.get()), static_cast<HistorySink*>(&batched)}) {
    sink->Store(source, {}, tell);  // no rows: nothing stored, nobody told
    sink->Store(source, {{"t", 201, 5096, {0xC9}}}, tell);
  }
  EXPECT_EQ(store->RowCount(), 1);
  EXPECT_EQ(told, 1);
  batch.Flush();
  EXPECT_EQ(store->RowCount(), 2);
  EXPECT_EQ(told, 2);
  EXPECT_EQ(store->Newest(201, 5096)->source, source);
}

TEST(ReopenBackoff, WaitsDoubleTo30SecondsLessAtMostAQuarterUntilAValidReplyResetsThem) {
  using std::chrono::milliseconds;
  ReopenBackoff backoff;
  for (int round = 0; round < 2; ++round) {
    milliseconds delay = ReopenBackoff::kFirst;
    for (int tries = 0; tries < 12; ++tries) {
      const milliseconds wait = backoff.Next();
      EXPECT_LE(wait, delay) << "try " << tries;
      EXPECT_GE(wait, delay - delay / 4) << "try " << tries;
      delay = std::min(delay * 2, ReopenBackoff::kLongest);
    }
    EXPECT_EQ(backoff.delay(), ReopenBackoff::kLongest);
    backoff.Reset();
  }
}

}  // namespace

}  // namespace k426b_host
