// The pieces a site is made of, apart from its device and line: the two ways its history rows
// are stored (at once, or with other sites' rows at a flush).

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools/host/store/history_batch.h"
#include "tools/host/store/history_store.h"

namespace k426b_host {

namespace {

using ::testing::IsEmpty;

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

}  // namespace

}  // namespace k426b_host
