// The service's history writer with a history it cannot open: the rows wait in a bounded queue,
// the oldest dropped and counted, the damaged file left as it is, and what waits stored once a
// history can be made.

#include "tools/host/store/history_writer.h"

#include <gtest/gtest.h>

#include "tests/support/scratch_folder.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace k426b_host {

namespace {

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(HistoryWriter, AFullQueueDropsTheOldestRowsAndWhatWaitsIsStoredOnceAHistoryCanBeMade) {
  const ScratchFolder folder("writer");
  const auto path = folder / "history.sqlite";
  const std::string damaged(8192, '\x5a');
  std::ofstream(path, std::ios::binary) << damaged;

  HistoryWriterSettings settings;
  settings.path = path.string();
  settings.pending_bound = 3;
  {
    HistoryWriter writer(settings);
    EXPECT_FALSE(writer.Health().up);
    for (unsigned char cycle = 1; cycle <= 5; ++cycle)
      writer.Store(
          "/dev/ttyS0",
          {{"2026-12-11T10:00:0" + std::to_string(cycle) + ".000+00:00", 101, 5094, {cycle}}},
          nullptr);
    const HistoryHealth health = writer.Health();
    EXPECT_EQ(health.pending_rows, 3);
    EXPECT_EQ(health.dropped_rows, 2);
    EXPECT_EQ(health.bytes, 8192);
    // The unit's cache image is its newest row, though it still waits.
    const auto newest = writer.Newest(101, 5094);
    ASSERT_TRUE(newest.has_value());
    EXPECT_EQ(newest->bytes, std::vector<unsigned char>{5});
    EXPECT_EQ(ReadAll(path), damaged);
    // A person moves the damaged file aside; the writer, ending, makes a new history.
    std::filesystem::rename(path, folder / "history.sqlite.damaged");
  }
  EXPECT_EQ(ReadAll(folder / "history.sqlite.damaged"), damaged);
  std::string error;
  auto store = HistoryStore::Open(path.string(), error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(store->RowCount(), 3);
  EXPECT_EQ(store->Newest(101, 5094)->bytes, std::vector<unsigned char>{5});
}

}  // namespace

}  // namespace k426b_host
