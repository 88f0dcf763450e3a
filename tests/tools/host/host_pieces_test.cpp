// The bench host's pieces below its run loop: command line, configuration check, history,
// value reading, event lines, wire log and the serial line's hang-up detection.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <sqlite3.h>

#include "host/controller.h"
#include "host/device.h"
#include "tests/support/recording_host.h"
#include "tests/support/scratch_folder.h"
#include "tools/host/app/options.h"
#include "tools/host/config/config_check.h"
#include "tools/host/events/event_stream.h"
#include "tools/host/events/site_events.h"
#include "tools/host/events/wire_log.h"
#include "tools/host/line/serial_port.h"
#include "tools/host/site/unit_values.h"
#include "tools/host/status/status_board.h"
#include "tools/host/store/history_batch.h"
#include "tools/host/store/history_store.h"
#include "tools/host/system/host_log.h"

namespace k426b_host {

namespace {

using ::testing::HasSubstr;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string ReadAll(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[512];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  return text;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << text;
  return value;
}

TEST(HostOptions, NoArgumentsMeansTheSimulatorWithTheExampleConfiguration) {
  const ParsedOptions parsed = ParseHostOptions({});
  EXPECT_EQ(parsed.error, "");
  EXPECT_TRUE(parsed.options.simulate);
  EXPECT_EQ(parsed.options.config_path, "");
  EXPECT_FALSE(parsed.options.cycles.has_value());
  EXPECT_EQ(parsed.options.max_cache_age, std::chrono::minutes(10));
}

TEST(HostOptions, ValuesFollowEitherAnEqualsSignOrAsTheNextArgument) {
  const ParsedOptions parsed =
      ParseHostOptions({"--port=/dev/ttyUSB0", "--baud", "19200", "--cycles=3", "--trace",
                        "--max-cache-age", "90s", "-v"});
  EXPECT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.options.port, "/dev/ttyUSB0");
  EXPECT_EQ(parsed.options.baud, 19200);
  EXPECT_EQ(parsed.options.cycles, 3u);
  EXPECT_TRUE(parsed.options.trace);
  EXPECT_FALSE(parsed.options.simulate);
  EXPECT_EQ(parsed.options.max_cache_age, std::chrono::seconds(90));
  EXPECT_EQ(parsed.options.verbosity, 1);
  EXPECT_EQ(parsed.arguments.size(), 8u);
}

TEST(HostOptions, HelpAndVersionAreAnsweredWithoutRunning) {
  EXPECT_THAT(ParseHostOptions({"-h"}).output, HasSubstr("--max-cache-age"));
  EXPECT_THAT(ParseHostOptions({"--version"}).output, HasSubstr("k426b-host "));
}

TEST(HostOptions, ConflictingOrMalformedCommandLinesAreRefusedNamingTheOption) {
  const struct {
    std::vector<std::string> arguments;
    const char* reason;
  } cases[] = {
      {{"--port", "/dev/ttyS0", "--simulate"}, "--simulate"},
      {{"--history", "h.sqlite", "--no-history"}, "--no-history"},
      {{"--port", "/dev/ttyS0", "--scenario", "s.json"}, "--scenario"},
      {{"--simulate", "--baud", "9600"}, "--baud"},
      {{"--baud", "9601", "--port", "/dev/ttyS0"}, "--baud"},
      {{"--cycles", "0"}, "--cycles"},
      {{"--cycles", "-2"}, "--cycles"},
      {{"--cycles"}, "--cycles"},
      {{"--max-cache-age", "ten"}, "'ten' is not a duration"},
      {{"--json"}, "--once"},
      {{"--once", "--json", "--events", "-"}, "both want standard output"},
      {{"--cycle", "3"}, "--cycle"},
      {{"config.json"}, "config.json"},
  };
  for (const auto& row : cases) {
    EXPECT_THAT(ParseHostOptions(row.arguments).error, HasSubstr(row.reason)) << row.reason;
  }
  EXPECT_EQ(UsageErrorText("k426b-host", "bad"),
            "k426b-host: bad\nRun 'k426b-host --help' for the options.\n");
}

TEST(HostOptions, DurationsTakeSecondsOrAUnit) {
  EXPECT_EQ(ParseDuration("0"), std::chrono::seconds(0));
  EXPECT_EQ(ParseDuration("10min"), std::chrono::seconds(600));
  EXPECT_EQ(ParseDuration("2h"), std::chrono::seconds(7200));
  EXPECT_FALSE(ParseDuration("-5").has_value());
  EXPECT_FALSE(ParseDuration("5 days").has_value());
  EXPECT_FALSE(ParseDuration("99999999999").has_value());
}

TEST(ConfigCheck, TheExampleConfigurationIsUsable) {
  Json::Value config;
  ASSERT_EQ(LoadConfigFile(K426B_EXAMPLES_DIR "/k426b.json", config), "");
  EXPECT_EQ(CheckConfig(config), "");
}

TEST(ConfigCheck, EachProblemIsNamedByTheMemberAtFault) {
  const struct {
    const char* config;
    const char* problem;
  } cases[] = {
      {R"([])", "the configuration must be a JSON object, found an array"},
      {R"({"data_id": -1, "rcSetting": {}})", "data_id must be an unsigned integer, found an integer"},
      {R"({"data_id": 1.5, "rcSetting": {}})", "data_id must be an unsigned integer, found a number"},
      {R"({"address": 255, "rcSetting": {}})", "address must be an integer from 0 to 254, found 255"},
      {R"({"timeout_ms": "fast", "rcSetting": {}})", "timeout_ms must be an integer"},
      {R"({"acSetting": {"data_id": 1}, "rcSetting": {}})",
       "acSetting must be an array of unit objects, found an object"},
      {R"({"acSetting": [7], "rcSetting": {}})", "acSetting[0] must be an object, found an integer"},
      {R"({"dcSetting": [{"data_id": 1}, {"data_id": "2"}], "rcSetting": {}})",
       "dcSetting[1].data_id must be an unsigned integer, found a string"},
      {R"({"acSetting": [{"appSetting": "x"}], "rcSetting": {}})",
       "acSetting[0].appSetting must be an object, found a string"},
      {R"({"dcSetting": [{"appSetting": {"diff_i": {}}}], "rcSetting": {}})",
       "dcSetting[0].appSetting.diff_i must be a number, found an object"},
      {R"({"acSetting": []})", "rcSetting is missing"},
      {R"({"rcSetting": null})", "rcSetting is missing"},
      {R"({"rcSetting": []})", "rcSetting must be an object, found an array"},
  };
  for (const auto& row : cases) {
    EXPECT_THAT(CheckConfig(ParseJson(row.config)), HasSubstr(row.problem)) << row.config;
  }
}

TEST(ConfigCheck, SettingsTheUnitsReadAsTextPass) {
  // diff_v as a string of digits, or even of letters, is read through its text form.
  EXPECT_EQ(CheckConfig(ParseJson(
                R"({"data_id": 1, "acSetting": [{"data_id": 4294967295, "appSetting": {"diff_v": "12", "diff_i": "abc"}}],
                    "rcSetting": {}})")),
            "");
}

TEST(ConfigCheck, UnreadableTruncatedOrTrailingTextFilesAreRefused) {
  const ScratchFolder folder("host-test");
  Json::Value config;
  EXPECT_EQ(LoadConfigFile((folder / "absent.json").string(), config),
            "cannot read configuration " + (folder / "absent.json").string());
  for (const char* text : {R"({"rcSetting": {})", R"({"rcSetting": {}} x)", R"({"a":1,"a":2})"}) {
    std::ofstream(folder / "bad.json") << text;
    EXPECT_THAT(LoadConfigFile((folder / "bad.json").string(), config),
                HasSubstr("is not valid JSON: "))
        << text;
  }
}

TEST(HistoryStore, TheNewestRowOfEachUnitIsItsCacheImageAcrossReopening) {
  const ScratchFolder scratch("host-test");
  const auto path = (scratch / "state" / "history.sqlite").string();
  std::string error;
  {
    auto store = HistoryStore::Open(path, error);
    ASSERT_TRUE(store) << error;
    EXPECT_FALSE(store->Newest(101, 5094).has_value());
    EXPECT_TRUE(store->Append("t1", "/dev/ttyS0", 101, 5094, hex_bytes("65 00 00 00 01")));
    EXPECT_TRUE(store->Append("t1", "/dev/ttyS0", 100, 5095, hex_bytes("64 00 00 00 AA")));
    // A cycle's rows in one transaction, committed before the store closes. The rectifier
    // shares the composite's data id; the record type keeps them apart.
    EXPECT_THAT(store->AppendAll("simulator", {{"t2", 101, 5094, hex_bytes("65 00 00 00 02")},
                                               {"t2", 100, 5096, hex_bytes("64 00 00 00 BB")}}),
                IsEmpty());
  }
  auto store = HistoryStore::Open(path, error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(store->RowCount(), 4);
  const auto newest = store->Newest(101, 5094);
  ASSERT_TRUE(newest.has_value());
  EXPECT_EQ(newest->bytes, hex_bytes("65 00 00 00 02"));
  EXPECT_EQ(newest->time, "t2");
  EXPECT_EQ(newest->source, "simulator");
  EXPECT_EQ(store->Newest(100, 5095)->bytes, hex_bytes("64 00 00 00 AA"));
  EXPECT_EQ(store->Newest(100, 5096)->source, "simulator");
  EXPECT_FALSE(store->Newest(102, 5094).has_value());
}

TEST(HistoryStore, ABatchStoresTheRowsOfManySitesOnlyWhenFlushedAndTellsEachWhatBecameOfItsOwn) {
  const ScratchFolder scratch("host-test");
  const auto path = (scratch / "batch.sqlite").string();
  std::string error;
  auto store = HistoryStore::Open(path, error);
  ASSERT_TRUE(store) << error;
  const std::string line_a = "tcp://127.0.0.1:4001", line_b = "/dev/ttyS1";
  std::map<std::string, std::vector<std::size_t>> failed;
  std::map<std::string, std::string> why;
  const auto told = [&](const std::string& site) {
    return [&, site](const std::vector<HistoryRow>&, const std::vector<std::size_t>& not_stored,
                     const std::string& reason) {
      failed[site] = not_stored;
      why[site] = reason;
    };
  };
  auto other_store = HistoryStore::Open((scratch / "other.sqlite").string(), error);
  ASSERT_TRUE(other_store) << error;
  HistoryBatch batch;
  batch.Add(*store, line_a, {{"t1", 101, 5094, hex_bytes("65 01")}, {"t1", 100, 5095, hex_bytes("64 01")}},
            told("a"));
  batch.Add(*other_store, line_a, {{"t1", 301, 5094, hex_bytes("2D 01")}}, told("elsewhere"));
  batch.Add(*store, line_b, {{"t1", 201, 5094, hex_bytes("C9 01")}}, told("b"));
  batch.Add(*store, line_b, {}, told("nothing"));  // no rows: nobody to tell
  EXPECT_EQ(store->RowCount(), 0);
  batch.Flush();
  EXPECT_EQ(store->RowCount(), 3);
  EXPECT_EQ(other_store->RowCount(), 1);
  const auto newest_a = store->Newest(100, 5095), newest_b = store->Newest(201, 5094);
  ASSERT_TRUE(newest_a && newest_b);
  EXPECT_EQ(newest_a->source, line_a);
  EXPECT_EQ(newest_b->source, line_b);
  ASSERT_EQ(failed.size(), 3u);
  EXPECT_THAT(failed["a"], IsEmpty());
  EXPECT_THAT(failed["b"], IsEmpty());
  EXPECT_THAT(failed["elsewhere"], IsEmpty());
  EXPECT_EQ(why["a"], "");
  batch.Flush();  // nothing left to store or tell
  EXPECT_EQ(store->RowCount(), 3);

  // The table gone from under the store: every row of every site fails, and each hears why.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "DROP TABLE history", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  failed.clear();
  batch.Add(*store, line_a, {{"t2", 101, 5094, hex_bytes("65 02")}, {"t2", 100, 5095, hex_bytes("64 02")}},
            told("a"));
  batch.Add(*store, line_b, {{"t2", 201, 5094, hex_bytes("C9 02")}}, told("b"));
  batch.Flush();
  EXPECT_THAT(failed["a"], ElementsAre(0u, 1u));
  EXPECT_THAT(failed["b"], ElementsAre(0u));
  EXPECT_THAT(why["b"], HasSubstr("history"));
}

TEST(HistoryStore, AnEmptySnapshotIsStoredAsAnEmptyImageNotAsNoRow) {
  std::string error;
  const ScratchFolder scratch("host-test");
  auto store = HistoryStore::Open((scratch / "h.sqlite").string(), error);
  ASSERT_TRUE(store) << error;
  EXPECT_TRUE(store->Append("t", "simulator", 7, 5096, {}));
  EXPECT_EQ(store->Newest(7, 5096)->bytes, Bytes());
}

TEST(HistoryStore, TheDefaultPathFollowsXdgStateHomeAndElseHome) {
  const char* saved_state = std::getenv("XDG_STATE_HOME");
  const std::string saved = saved_state != nullptr ? saved_state : "";
  setenv("XDG_STATE_HOME", "/var/tmp/state", 1);
  EXPECT_EQ(DefaultHistoryPath(), "/var/tmp/state/k426b/history.sqlite");
  EXPECT_EQ(DefaultHistoryPath(true), "/var/tmp/state/k426b/simulator-history.sqlite");
  setenv("XDG_STATE_HOME", "relative/ignored", 1);
  EXPECT_EQ(DefaultHistoryPath(),
            std::string(std::getenv("HOME")) + "/.local/state/k426b/history.sqlite");
  if (saved_state != nullptr) {
    setenv("XDG_STATE_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_STATE_HOME");
  }
}

TEST(UnitValues, AnAcUnitServesItsHeadKeysThenFourKeysPerScreen) {
  const std::vector<std::string> keys = ValueKeys("k426b-ac", 2);
  EXPECT_EQ(keys, (std::vector<std::string>{"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert",
                                            "channel_0_a", "channel_0_b", "channel_0_c",
                                            "channel_0_f", "channel_1_a", "channel_1_b",
                                            "channel_1_c", "channel_1_f"}));
  EXPECT_EQ(ValueKeys("k426b-dc", 5), (std::vector<std::string>{"v", "i"}));
  EXPECT_TRUE(ValueKeys("k426b-rc", 3).empty());
  EXPECT_EQ(RecordTypeOf("k426b-ac"), 5094);
  EXPECT_EQ(RecordTypeOf("k426b-rc"), 5095);
  EXPECT_EQ(RecordTypeOf("k426b-dc"), 5096);
}

TEST(UnitValues, TheScreenCountIsReadOnlyFromASnapshotLongEnoughToHoldIt) {
  EXPECT_EQ(ScreenCount(Bytes(16, 0x09)), 0u);
  Bytes head(17, 0x00);
  head[16] = 3;
  EXPECT_EQ(ScreenCount(head), 3u);
}

TEST(UnitValues, RefusalsBecomeErrorObjectsAndAUnitWithoutKeysReportsItsOwnAnswer) {
  auto device = std::make_shared<ZVKSPDevice>();  // the host's default refuses every key
  const auto values = ReadUnitValues(*device, {"v", "i"});
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].error, "数据未就绪");
  const Json::Value json = ValuesJson(values, true);
  EXPECT_EQ(json["v"]["error"].asString(), "数据未就绪");
  EXPECT_EQ(ValuesLine(values), "数据未就绪");

  const Json::Value rectifier = ValuesJson(ReadUnitValues(*device, {}), false);
  EXPECT_EQ(CompactJson(rectifier), R"({"error":"数据未就绪"})");
}

TEST(UnitValues, TheHumanLineGroupsKeysRefusedForTheSameReason) {
  const std::vector<UnitValue> values = {
      {"ia", 12.5f, ""}, {"channel_0_a", std::nullopt, "数据未提供"},
      {"channel_0_b", std::nullopt, "数据未提供"}, {"ic", 0.25f, ""}};
  EXPECT_EQ(ValuesLine(values), "ia 12.5  channel_0_a,channel_0_b: 数据未提供  ic 0.25");
}

TEST(EventLines, FloatsCarryTheirShortestDigitsAndNonFiniteValuesBecomeNull) {
  EXPECT_EQ(CompactJson(FloatJson(230.1f)), "230.1");
  EXPECT_EQ(CompactJson(FloatJson(53.5f)), "53.5");
  EXPECT_EQ(CompactJson(FloatJson(1e-7f)), "1e-07");
  EXPECT_TRUE(FloatJson(std::nanf("")).isNull());
  EXPECT_TRUE(FloatJson(-INFINITY).isNull());
}

TEST(EventLines, EachEventIsOneLineWithItsNameAndTimeFirstAndTextKeptAsUtf8) {
  const ScratchFolder scratch("host-test");
  const auto path = scratch / "events.jsonl";
  EventStream stream;
  ASSERT_EQ(stream.Open(path.string()), "");
  Json::Value members(Json::objectValue);
  members["text"] = "数据已超时";
  members["data_id"] = 7;
  stream.Write("log", members);
  stream.Write("empty", Json::Value(Json::objectValue));
  stream.Close();

  const std::string text = ReadAll(path);
  const std::regex line(
      R"(\{"event":"log","time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d","data_id":7,"text":"数据已超时"\}
\{"event":"empty","time":"[^"]+"\}
)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

// Events written from their fields, without a Json::Value (the rule event): each line must be the
// one the object would give, texts that need escaping included.
TEST(EventLines, FieldsGiveTheLineOfTheSameMembersAsAnObject) {
  const ScratchFolder scratch("host-test");
  const auto path = scratch / "fields.jsonl";
  EventStream stream;
  ASSERT_EQ(stream.Open(path.string()), "");
  const std::string awkward =
      std::string("say \"hi\"\\ tab\there\nnul") + std::string(1, '\0') + "\x01\x7f/";
  for (const std::string& text : {std::string("直流1熔丝断"), awkward, std::string()}) {
    Json::Value object(Json::objectValue);
    object["active"] = false;
    object["data_id"] = 4294967295u;
    object["level"] = -3;
    object["text"] = text;
    stream.Write("same", object);
    EventFields fields;
    fields.Flag("active", false).Number("data_id", 4294967295u).Number("level", -3).Text("text", text);
    stream.Write("same", fields);
  }
  // A named site's rule events, against the object each was once built as: the same rule in
  // the next cycles, inactive and renumbered, then with other texts beside its key.
  rule_value rule;
  rule.active = 1;
  rule.rule_id = "DC_12";
  rule.code = "01001";
  rule.level = 2;
  rule.sequence = 65;
  rule.name = "直流熔丝断";
  rule.description = "直流1熔丝断";
  std::FILE* sink = std::tmpfile();
  HumanOutput out(sink, "north");
  SiteEvents events("north", stream, nullptr, "test", out);
  const auto write_both = [&] {
    Json::Value object(Json::objectValue);
    object["data_id"] = 7;
    object["level"] = rule.level;
    object["rule_id"] = rule.rule_id;
    object["code"] = rule.code;
    object["name"] = rule.name;
    object["description"] = rule.description;
    object["active"] = rule.active != 0;
    object["sequence"] = rule.sequence;
    object["site"] = "north";
    stream.Write("rule", object);
    events.OnRule(7, rule);
  };
  write_both();
  rule.active = 0;
  rule.sequence = 1;
  write_both();
  rule.code = "01002";
  write_both();
  rule.level = 4;
  rule.name = awkward;
  write_both();
  std::fclose(sink);
  stream.Write("none", EventFields());
  stream.Close();

  std::istringstream lines(ReadAll(path));
  const std::regex time(R"("time":"[^"]+")");
  std::string from_object, from_fields;
  for (int pair = 0; pair < 3 + 4; ++pair) {
    ASSERT_TRUE(std::getline(lines, from_object) && std::getline(lines, from_fields));
    EXPECT_EQ(std::regex_replace(from_fields, time, "T"), std::regex_replace(from_object, time, "T"));
  }
  std::string none;
  ASSERT_TRUE(std::getline(lines, none));
  EXPECT_TRUE(std::regex_match(none, std::regex(R"(\{"event":"none","time":"[^"]+"\})"))) << none;
}

// The numbers of the `n` events in a stream file, in the order of their lines.
std::vector<long long> Numbers(const std::filesystem::path& path) {
  std::vector<long long> numbers;
  std::istringstream lines(ReadAll(path));
  for (std::string line; std::getline(lines, line);) numbers.push_back(ParseJson(line)["n"].asInt64());
  return numbers;
}

void WriteNumber(EventStream& stream, long long n) {
  EventFields fields;
  stream.Write("n", fields.Number("n", n));
}

TEST(EventBursts, ABurstsLinesLeaveTogetherWhenItEndsOrFlushesAndPastTheLimit) {
  const ScratchFolder scratch("host-test");
  const auto path = scratch / "burst.jsonl";
  EventStream stream;
  ASSERT_EQ(stream.Open(path.string()), "");
  WriteNumber(stream, 1);  // outside a burst: at once
  EXPECT_EQ(Numbers(path), (std::vector<long long>{1}));
  {
    EventStream::Burst burst(stream);
    WriteNumber(stream, 2);
    WriteNumber(stream, 3);
    EXPECT_EQ(Numbers(path), (std::vector<long long>{1}));
    burst.Flush();  // before the loop waits
    EXPECT_EQ(Numbers(path), (std::vector<long long>{1, 2, 3}));
    WriteNumber(stream, 4);
    {
      EventStream::Burst inner(stream);  // nested: the outer burst decides
      WriteNumber(stream, 5);
    }
    EXPECT_EQ(Numbers(path), (std::vector<long long>{1, 2, 3}));
  }
  EXPECT_EQ(Numbers(path), (std::vector<long long>{1, 2, 3, 4, 5}));

  // A burst is written out once it grows past the limit, not held whole.
  std::vector<long long> expected = Numbers(path);
  const auto written = std::filesystem::file_size(path);
  {
    EventStream::Burst burst(stream);
    for (long long n = 6; std::filesystem::file_size(path) == written; ++n) {
      ASSERT_LT(n, 100000) << "the burst was never written out";
      WriteNumber(stream, n);
      expected.push_back(n);
    }
    EXPECT_GT(std::filesystem::file_size(path) - written, EventStream::kBurstLimit);
    WriteNumber(stream, 0);
    expected.push_back(0);
  }
  EXPECT_EQ(Numbers(path), expected);
}

TEST(EventBursts, LinesFromElsewhereFollowTheGatheredOnesAndClosingLosesNone) {
  const ScratchFolder scratch("host-test");
  const auto path = scratch / "threads.jsonl";
  EventStream stream;
  ASSERT_EQ(stream.Open(path.string()), "");
  EventStream other_stream;  // a burst of another stream gathers nothing of this one
  {
    EventStream::Burst burst(stream);
    WriteNumber(stream, 1);
    WriteNumber(stream, 2);
    std::thread([&] { WriteNumber(stream, 3); }).join();  // the threshold worker's alarm
    EXPECT_EQ(Numbers(path), (std::vector<long long>{1, 2, 3}));
    WriteNumber(stream, 4);
    {
      EventStream::Burst inner(other_stream);
      WriteNumber(stream, 5);  // outside this stream's burst: at once, after 4
      EXPECT_EQ(Numbers(path), (std::vector<long long>{1, 2, 3, 4, 5}));
    }
    // Another thread's burst takes over the buffer only after writing out this one's lines.
    WriteNumber(stream, 6);
    std::thread([&] {
      EventStream::Burst theirs(stream);
      WriteNumber(stream, 7);
      EXPECT_EQ(Numbers(path), (std::vector<long long>{1, 2, 3, 4, 5, 6}));
    }).join();
    WriteNumber(stream, 8);
    stream.Close();  // mid-burst
    EXPECT_EQ(Numbers(path), (std::vector<long long>{1, 2, 3, 4, 5, 6, 7, 8}));
    WriteNumber(stream, 9);  // closed: dropped, as outside a burst
  }
  EXPECT_EQ(Numbers(path), (std::vector<long long>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(WireLog, RecordingsHoldTimedRawChunksAndTheTraceShowsWholeFramesOnce) {
  const ScratchFolder scratch("host-test");
  const auto path = scratch / "line.jsonl";
  std::FILE* trace = std::tmpfile();
  ASSERT_NE(trace, nullptr);
  {
    WireLog wire;
    wire.EnableTrace(trace);
    ASSERT_EQ(wire.OpenRecord(path.string()), "");
    const std::string query = "~20014041E002FFFD11\r";
    wire.Sent(reinterpret_cast<const unsigned char*>(query.data()), query.size());
    // A reply split over two reads, the second carrying the start of the next.
    const std::string first = "~2001", second = "40000000FDB3\r~20";
    wire.Received(reinterpret_cast<const unsigned char*>(first.data()), first.size());
    wire.Received(reinterpret_cast<const unsigned char*>(second.data()), second.size());
  }
  std::ifstream record(path);
  std::vector<Json::Value> lines;
  for (std::string line; std::getline(record, line);) lines.push_back(ParseJson(line));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["dir"].asString(), "tx");
  EXPECT_EQ(lines[0]["hex"].asString(), "7E3230303134303431453030324646464431310D");
  EXPECT_EQ(lines[1]["dir"].asString(), "rx");
  EXPECT_EQ(lines[1]["hex"].asString(), "7E32303031");
  EXPECT_EQ(lines[2]["hex"].asString(), "3430303030303030464442330D7E3230");
  EXPECT_LE(lines[0]["t"].asDouble(), lines[2]["t"].asDouble());

  const std::string shown = ReadAll(trace);
  std::fclose(trace);
  EXPECT_THAT(shown, HasSubstr("tx ~20014041E002FFFD11\\r\n   hex 7E 32 30 30 31 34 30 34 31"));
  EXPECT_THAT(shown, HasSubstr("rx ~200140000000FDB3\\r\n"));
  EXPECT_EQ(shown.find("rx ~20\n"), std::string::npos);  // the unfinished frame waits
}

TEST(HostLog, LinesAreTimeStampedAndTheLevelFollowsVerboseAndQuiet) {
  const ScratchFolder scratch("host-test");
  const auto path = (scratch / "host.log").string();
  ASSERT_EQ(SetUpHostLog(0, path), "");
  HostLog().debug("hidden at the normal level");
  HostLog().info("plug-in 101: shown");
  ASSERT_EQ(SetUpHostLog(-1, path), "");
  HostLog().info("hidden when quiet");
  HostLog().warn("lost /dev/ttyUSB0");
  ASSERT_EQ(SetUpHostLog(1, path), "");
  HostLog().debug("shown when verbose");
  const std::string text = ReadAll(std::filesystem::path(path));
  const std::regex expected(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} k426b-host info: plug-in 101: shown
.* k426b-host warning: lost /dev/ttyUSB0
.* k426b-host debug: shown when verbose
)");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
  // A folder that cannot be made: the path goes through a file.
  EXPECT_THAT(SetUpHostLog(0, path + "/inner.log"), HasSubstr("cannot write the log"));
  ASSERT_EQ(SetUpHostLog(0, ""), "");
}

TEST(SerialPort, BytesArriveAndAHungUpLineIsReportedAsGone) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  SerialPort port(ptsname(master), 9600);
  ASSERT_EQ(port.Open(), "");

  unsigned char buffer[64];
  std::size_t received = 0;
  EXPECT_EQ(port.Read(buffer, sizeof buffer, received, 0), Line::ReadResult::kNothing);
  // Raw mode: the CR ending a frame must arrive as CR, not as a newline.
  ASSERT_EQ(write(master, "~1\r", 3), 3);
  ASSERT_EQ(port.Read(buffer, sizeof buffer, received, 1000), Line::ReadResult::kData);
  EXPECT_EQ(std::string(buffer, buffer + received), "~1\r");

  const unsigned char query[] = {'~', '2', '\r'};
  EXPECT_TRUE(port.Write(query, sizeof query));
  char echoed[8] = {};
  EXPECT_EQ(read(master, echoed, sizeof echoed), 3);
  EXPECT_EQ(std::string(echoed, 3), "~2\r");

  // One program per port: a second opening of the same device is refused, naming it.
  SerialPort second(ptsname(master), 9600);
  EXPECT_THAT(second.Open(), HasSubstr(std::string(ptsname(master)) + " is in use by another program"));

  close(master);
  EXPECT_EQ(port.Read(buffer, sizeof buffer, received, 1000), Line::ReadResult::kGone);
}

}  // namespace

}  // namespace k426b_host
