// The pieces a site is made of, apart from its device and line: the values table people read,
// the two ways its history rows are stored (at once, or with other sites' rows at a flush), and
// the back-off between tries of its line.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/rule_value.h"
#include "tools/host/site/reopen_backoff.h"
#include "tools/host/site/values_report.h"
#include "tools/host/store/history_batch.h"
#include "tools/host/store/history_store.h"

namespace k426b_host {

namespace {

using ::testing::IsEmpty;

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
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("k426b-sink-" + std::to_string(::getpid()) + ".sqlite"))
                               .string();
  std::filesystem::remove(path);
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
  store.reset();
  std::filesystem::remove(path);
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
