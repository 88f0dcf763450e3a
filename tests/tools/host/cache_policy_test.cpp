// Which stored snapshot is handed to LoadFromCache, and the history file that records the line
// each row came from, including a file written before rows knew their source.

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "tests/support/scratch_folder.h"
#include "tools/host/events/event_stream.h"
#include "tools/host/site/cache_policy.h"
#include "tools/host/store/history_store.h"

namespace k426b_host {

namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

const auto kNow = CachePolicy::Clock::from_time_t(1'700'000'000);

StoredSnapshot Row(std::chrono::seconds age, const std::string& source) {
  return {IsoLocalTime(kNow - age), source, {1, 2, 3}};
}

TEST(CachePolicy, OnlyAYoungSnapshotFromTheSameLineIsOffered) {
  const CachePolicy policy(600s, "/dev/ttyUSB0");
  const auto fresh = policy.Judge(Row(30s, "/dev/ttyUSB0"), kNow);
  EXPECT_TRUE(fresh.offer);
  EXPECT_NEAR(*fresh.age_s, 30, 0.01);

  const auto old = policy.Judge(Row(20min, "/dev/ttyUSB0"), kNow);
  EXPECT_FALSE(old.offer);
  EXPECT_NEAR(*old.age_s, 1200, 0.01);
  EXPECT_EQ(old.refusal, "it is 20 min old, older than --max-cache-age 600 s");

  EXPECT_EQ(policy.Judge(Row(30s, "simulator"), kNow).refusal,
            "it came from simulator, not from /dev/ttyUSB0");
  EXPECT_EQ(policy.Judge(Row(30s, ""), kNow).refusal,
            "it does not record which line it came from");
  EXPECT_THAT(policy.Judge(Row(-1h, "/dev/ttyUSB0"), kNow).refusal, HasSubstr("in the future"));
  EXPECT_THAT(policy.Judge({"2020-01-01 noon", "/dev/ttyUSB0", {}}, kNow).refusal,
              HasSubstr("cannot be read"));
}

TEST(CachePolicy, AMaximumAgeOfZeroTurnsCacheLoadingOff) {
  const CachePolicy policy(0s, "simulator");
  EXPECT_FALSE(policy.enabled());
  EXPECT_FALSE(policy.Judge(Row(1s, "simulator"), kNow).offer);
}

TEST(CachePolicy, RowTimesAreReadWithTheirUtcOffset) {
  const auto time = ParseIsoTime("2023-11-14T23:13:20.250+01:00");
  ASSERT_TRUE(time.has_value());
  EXPECT_EQ(*time, CachePolicy::Clock::from_time_t(1'700'000'000) + 250ms);
  EXPECT_EQ(ParseIsoTime(IsoLocalTime(kNow)), kNow);
  // A time's second is converted once and kept: the next second, or a month back, is its own.
  for (const auto other : {kNow + 1007ms, kNow + 1009ms, kNow - std::chrono::hours(24 * 30) + 5ms})
    EXPECT_EQ(ParseIsoTime(IsoLocalTime(other)), other);
  for (const char* bad : {"", "2023-11-14T23:13:20+01:00", "2023-13-14T23:13:20.250+01:00",
                          "2023-11-14T23:13:20.250+01:00 trailing"})
    EXPECT_FALSE(ParseIsoTime(bad).has_value()) << bad;
  EXPECT_EQ(HumanAge(45), "45 s");
  EXPECT_EQ(HumanAge(180), "3 min");
  EXPECT_EQ(HumanAge(3 * 86400), "3 days");
}

TEST(HistoryStore, AFileWithoutTheSourceColumnGainsItAndKeepsItsRows) {
  const ScratchFolder scratch("history");
  const std::string path = (scratch / "old.sqlite").string();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE history (id INTEGER PRIMARY KEY, time TEXT NOT NULL,"
                         " data_id INTEGER NOT NULL, record_type INTEGER NOT NULL,"
                         " snapshot BLOB NOT NULL);"
                         "INSERT INTO history (time, data_id, record_type, snapshot)"
                         " VALUES ('2020-01-01T00:00:00.000+00:00', 101, 5094, x'0102');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  std::string error;
  for (int opening = 0; opening < 2; ++opening) {
    auto store = HistoryStore::Open(path, error);
    ASSERT_TRUE(store) << error;
    const auto old = store->Newest(101, 5094);
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->source, "");
    EXPECT_EQ(old->bytes, (std::vector<unsigned char>{1, 2}));
  }
  auto store = HistoryStore::Open(path, error);
  ASSERT_TRUE(store->Append("2026-01-01T00:00:00.000+00:00", "tcp://10.0.0.5:4001", 101, 5094, {3}));
  EXPECT_EQ(store->Newest(101, 5094)->source, "tcp://10.0.0.5:4001");
}

}  // namespace

}  // namespace k426b_host
