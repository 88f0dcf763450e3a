// One named site against the in-process simulator, as the fleet service will run many: its
// status on the board after a cycle, its events carrying its name, its human lines prefixed.

#include <stdio.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/scratch_folder.h"
#include "tests/tools/host/example_config.h"
#include "tools/host/app/site_wiring.h"
#include "tools/host/line/serial_port.h"
#include "tools/host/line/simulated_line.h"
#include "tools/host/loop/site_loop.h"
#include "tools/host/site/site.h"

namespace k426b_host {

namespace {

using ::testing::HasSubstr;

TEST(Site, ANamedSitePublishesItsWholeStatusAndNamesItselfInEveryEventAndLine) {
  LoadedPlugin plugin;
  ASSERT_EQ(LoadPlugin(K426B_BUILT_PLUGIN, plugin), "");
  std::string failure;
  auto simulator = SimulatedLine::Start("", failure);
  ASSERT_TRUE(simulator) << failure;

  const ScratchFolder scratch("site");
  const std::string events_path = (scratch / "events.jsonl").string();
  EventStream stream;
  ASSERT_EQ(stream.Open(events_path), "");
  std::FILE* human_file = std::tmpfile();
  HumanOutput human(human_file, "north");
  StatusBoard board;
  WireLog wire;
  SiteSettings settings;
  settings.name = "north";
  settings.source = "simulator";
  settings.config = ExampleConfig();
  settings.cycles = 1;
  {
    BoardAndTerminal output(board, human, settings.name);
    SiteDependencies dependencies;
    dependencies.plugin = &plugin;
    dependencies.stream = &stream;
    dependencies.output = &output;
    dependencies.wire = &wire;
    AddSiteEvents(dependencies, settings, human);
    Site site(settings, std::make_unique<SerialPort>(simulator->path(), 9600),
              std::move(dependencies));
    // Before polling, the board already lists the site, silent until it answers.
    ASSERT_TRUE(board.Site("north").has_value());
    EXPECT_EQ(board.Site("north")->line.state, LineCondition::kSilent);
    ASSERT_EQ(site.CreateDevice(), "");
    ASSERT_EQ(site.OpenLine(), "");
    site.Start();
    std::promise<void> done;
    {
      SiteLoop loop;
      loop.Add(&site, [&] { done.set_value(); });
      done.get_future().wait_for(std::chrono::seconds(30));
      loop.Remove(&site);
    }
    site.Finish();
    EXPECT_EQ(site.completed_cycles(), 1u);
  }
  simulator->Stop();
  stream.Close();

  const SiteStatus status = *board.Site("north");
  EXPECT_EQ(status.port, "simulator");
  EXPECT_EQ(status.model, "K426B");
  EXPECT_EQ(status.line.state, LineCondition::kUp);
  EXPECT_EQ(status.counters.cycles, 1u);
  EXPECT_EQ(status.counters.queries, 11u);
  ASSERT_EQ(status.units.size(), 4u);
  EXPECT_EQ(status.units[2].data_id, 201u);
  ASSERT_EQ(status.units[2].values.size(), 2u);
  EXPECT_EQ(status.units[2].values[0].value, 53.5f);
  EXPECT_FALSE(status.units[2].cached);
  EXPECT_LT(*status.units[2].age_s, 5.0);
  // Every query and its reply in the trace, decoded.
  ASSERT_TRUE(status.trace);
  const std::vector<FrameRecord> frames = status.trace->Frames();
  ASSERT_EQ(frames.size(), 22u);
  EXPECT_EQ(frames[0].text, "~200140510000FDB3");
  EXPECT_EQ(frames[0].cid1, 0x40);
  EXPECT_EQ(frames[1].direction, "rx");
  EXPECT_FALSE(frames[1].bad);
  EXPECT_FALSE(status.alarms.empty());

  std::ifstream events(events_path);
  int lines = 0;
  for (std::string line; std::getline(events, line); ++lines)
    EXPECT_THAT(line, HasSubstr("\"site\":\"north\"")) << line;
  EXPECT_GT(lines, 20);

  std::rewind(human_file);
  char first[64] = {};
  ASSERT_NE(std::fgets(first, sizeof first, human_file), nullptr);
  EXPECT_THAT(first, ::testing::StartsWith("[north] start - values before the first cycle"));
  std::fclose(human_file);
}

}  // namespace

}  // namespace k426b_host
