// Several sites served by one SiteLoop: each polls its own simulated power system to completed
// cycles, a device's pause after a reply holds back only that site's next query, a cycle waits
// for its threshold work without holding up the loop, and a site whose line is down is reopened
// off the loop and removed without holding up the others.

#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "host/threshold_worker.h"
#include "tests/support/scratch_folder.h"
#include "tests/tools/host/example_config.h"
#include "tools/host/app/site_wiring.h"
#include "tools/host/line/serial_port.h"
#include "tools/host/line/simulated_line.h"
#include "tools/host/line/tcp_line.h"
#include "tools/host/loop/site_loop.h"
#include "tools/host/site/site.h"

namespace k426b_host {

namespace {

// Waits, up to `limit`, until `done` holds.
bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A port on 127.0.0.1 that refuses connections: bound once, then closed.
std::string RefusingAddress() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

// A line that counts its opens, which a lost line's reopening shows.
class CountedLine : public Line {
 public:
  CountedLine(std::unique_ptr<Line> line, std::atomic<int>& opens)
      : line_(std::move(line)), opens_(opens) {}
  std::string Open() override {
    ++opens_;
    return line_->Open();
  }
  void Close() override { line_->Close(); }
  bool is_open() const override { return line_->is_open(); }
  int fd() const override { return line_->fd(); }
  const std::string& path() const override { return line_->path(); }
  bool Write(const unsigned char* bytes, std::size_t length) override {
    return line_->Write(bytes, length);
  }
  ReadResult Read(unsigned char* buffer, std::size_t capacity, std::size_t& received,
                  int wait_ms) override {
    return line_->Read(buffer, capacity, received, wait_ms);
  }

 private:
  std::unique_ptr<Line> line_;
  std::atomic<int>& opens_;
};

// The sites of one test, each with its human output and wire log, and the simulated power
// systems they poll; a closed event stream, and no history unless a test gives a store.
class SiteLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(LoadPlugin(K426B_BUILT_PLUGIN, plugin_), ""); }

  void TearDown() override {
    for (auto& site : sites_) site->Finish();
    sites_.clear();
    for (auto& simulator : simulators_) simulator->Stop();
    for (std::FILE* file : files_) std::fclose(file);
  }

  Site& Make(const std::string& name, std::unique_ptr<Line> line, unsigned cycles,
             std::shared_ptr<ThresholdWorker> worker = nullptr, HistoryStore* history = nullptr) {
    files_.push_back(std::tmpfile());
    outputs_.push_back(std::make_unique<HumanOutput>(files_.back(), name));
    wires_.push_back(std::make_unique<WireLog>());
    SiteSettings settings;
    settings.name = name;
    settings.source = line->path();
    settings.config = ExampleConfig();
    settings.cycles = cycles;
    settings.summary = true;
    site_outputs_.push_back(std::make_unique<BoardAndTerminal>(board_, *outputs_.back(), name));
    SiteDependencies dependencies;
    dependencies.plugin = &plugin_;
    dependencies.stream = &stream_;
    dependencies.history = history;
    dependencies.output = site_outputs_.back().get();
    dependencies.wire = wires_.back().get();
    dependencies.worker = std::move(worker);
    AddSiteEvents(dependencies, settings, *outputs_.back());
    sites_.push_back(std::make_unique<Site>(settings, std::move(line), std::move(dependencies)));
    Site& site = *sites_.back();
    EXPECT_EQ(site.CreateDevice(), "");
    site.OpenLine(/*keep_trying=*/true);
    site.Start();
    return site;
  }

  // `count` sites named `prefix` and 0, 1, ..., each polling a simulated power system of its own
  // over its serial line.
  std::vector<Site*> MakeSimulated(const std::string& prefix, int count, unsigned cycles,
                                   std::shared_ptr<ThresholdWorker> worker = nullptr,
                                   HistoryStore* history = nullptr) {
    std::vector<Site*> sites;
    for (int i = 0; i < count; ++i) {
      std::string failure;
      auto simulator = SimulatedLine::Start("", failure);
      if (!simulator) {
        ADD_FAILURE() << failure;
        break;
      }
      simulators_.push_back(std::move(simulator));
      sites.push_back(&Make(prefix + std::to_string(i),
                            std::make_unique<SerialPort>(simulators_.back()->path(), 9600), cycles,
                            worker, history));
    }
    return sites;
  }

  // The completed cycles the status board shows for `name`.
  unsigned ShownCycles(const std::string& name) {
    const auto status = board_.Site(name);
    return status ? status->counters.cycles : 0;
  }

  LoadedPlugin plugin_;
  EventStream stream_;
  StatusBoard board_;
  std::vector<std::FILE*> files_;
  std::vector<std::unique_ptr<HumanOutput>> outputs_;
  std::vector<std::unique_ptr<BoardAndTerminal>> site_outputs_;
  std::vector<std::unique_ptr<WireLog>> wires_;
  std::vector<std::unique_ptr<Site>> sites_;
  std::vector<std::unique_ptr<SimulatedLine>> simulators_;
};

TEST_F(SiteLoopTest, SitesOnOneLoopEachCompleteTheirCyclesAndHoldEachQueryThroughThePause) {
  const ScratchFolder scratch("site-loop");
  const std::string record_path = (scratch / "wire.jsonl").string();
  const std::string history_path = (scratch / "history.sqlite").string();
  std::string error;
  auto history = HistoryStore::Open(history_path, error);
  ASSERT_TRUE(history) << error;
  // Two cycles: the quiet time between them is waited for on the loop's schedule.
  const std::vector<Site*> sites = MakeSimulated("site-", 3, 2, nullptr, history.get());
  ASSERT_EQ(sites.size(), 3u);
  ASSERT_EQ(wires_[0]->OpenRecord(record_path), "");
  {
    SiteLoop loop;
    for (Site* site : sites) loop.Add(site);
    EXPECT_EQ(loop.size(), 3u);
    EXPECT_TRUE(WaitFor(
        [&] {
          for (int i = 0; i < 3; ++i)
            if (ShownCycles("site-" + std::to_string(i)) < 2) return false;
          return true;
        },
        std::chrono::seconds(60)));
    for (Site* site : sites) loop.Remove(site);
    EXPECT_EQ(loop.size(), 0u);
  }

  // Each shown cycle's rows are stored by the time the loop has let the site go: four units,
  // two cycles, three sites, each row under its own line.
  EXPECT_EQ(history->RowCount(), 24);
  const auto newest = history->Newest(100, 5095);
  ASSERT_TRUE(newest.has_value());
  EXPECT_EQ(newest->source.rfind("/dev/pts/", 0), 0u);
  for (Site* site : sites) EXPECT_EQ(site->history_failures(), 0);

  for (int i = 0; i < 3; ++i) {
    const auto status = board_.Site("site-" + std::to_string(i));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->line.state, LineCondition::kUp);
    EXPECT_EQ(status->counters.cycles, 2u);
    // The first cycle checks the model (11 queries), the second only polls (5).
    EXPECT_EQ(status->counters.queries, 16u);
    ASSERT_EQ(status->units.size(), 4u);
    ASSERT_FALSE(status->units[2].values.empty());
    EXPECT_EQ(status->units[2].values[0].value, 53.5f);
  }
  // Every query that answers a reply left at least the device's 20 ms pause after the reply's
  // last piece was read (the record's times have whole milliseconds).
  std::ifstream record(record_path);
  double last_rx = -1;
  int held = 0;
  for (std::string line; std::getline(record, line);) {
    Json::Value entry;
    std::string errors;
    std::istringstream text(line);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), text, &entry, &errors)) << line;
    const double t = entry["t"].asDouble();
    if (entry["dir"].asString() == "rx") {
      last_rx = t;
    } else if (last_rx >= 0) {
      EXPECT_GE(t - last_rx, 0.019) << line;
      ++held;
      last_rx = -1;
    }
  }
  EXPECT_EQ(held, 15);  // every query but the very first follows a reply
}

TEST_F(SiteLoopTest, ACycleIsShownOnceItsThresholdWorkHasRunAndTheLoopServesTheOthersMeanwhile) {
  // One worker for both sites, held by an item of the test's own: the cycles' alarm and history
  // work queues behind it.
  auto worker = std::make_shared<ThresholdWorker>();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  worker->Submit(worker->AddOwner(), [released] { released.wait(); });
  struct Release {
    std::promise<void>& release;
    bool done = false;
    void Now() {
      if (!done) release.set_value();
      done = true;
    }
    ~Release() { Now(); }
  } guard{release};

  const std::vector<Site*> sites = MakeSimulated("held-", 2, 1, worker);
  ASSERT_EQ(sites.size(), 2u);
  {
    SiteLoop loop;
    for (Site* site : sites) loop.Add(site);
    // Both cycles complete on the one loop although the first one's work cannot run yet.
    EXPECT_TRUE(WaitFor([&] { return sites[0]->completed_cycles() >= 1 &&
                                     sites[1]->completed_cycles() >= 1; },
                        std::chrono::seconds(60)));
    // Neither is shown before its alarms and history have landed.
    EXPECT_EQ(ShownCycles("held-0"), 0u);
    EXPECT_EQ(ShownCycles("held-1"), 0u);
    guard.Now();
    EXPECT_TRUE(WaitFor([&] { return ShownCycles("held-0") == 1 && ShownCycles("held-1") == 1; },
                        std::chrono::seconds(30)));
    for (Site* site : sites) loop.Remove(site);
  }
}

TEST_F(SiteLoopTest, ASiteWhoseLineIsDownIsReopenedOffTheLoopAndRemovedWithoutHoldingUpTheOthers) {
  std::string failure;
  auto simulator = SimulatedLine::Start("", failure);
  ASSERT_TRUE(simulator) << failure;
  std::atomic<int> opens{0};
  Site& down = Make(
      "down", std::make_unique<CountedLine>(std::make_unique<TcpLine>(RefusingAddress()), opens), 1);
  Site& up = Make("up", std::make_unique<SerialPort>(simulator->path(), 9600), 1);
  {
    SiteLoop loop;
    loop.Add(&down);
    loop.Add(&up);
    EXPECT_TRUE(WaitFor([&] { return ShownCycles("up") >= 1; }, std::chrono::seconds(60)));
    // Reopened again and again meanwhile, each time refused.
    EXPECT_TRUE(WaitFor([&] { return opens >= 3; }, std::chrono::seconds(30)));
    loop.Remove(&down);
    EXPECT_EQ(loop.size(), 1u);
    loop.Remove(&up);
  }
  simulator->Stop();
  EXPECT_EQ(board_.Site("down")->line.state, LineCondition::kLost);
  EXPECT_EQ(down.completed_cycles(), 0u);
  EXPECT_EQ(board_.Site("up")->counters.cycles, 1u);
}

}  // namespace

}  // namespace k426b_host
