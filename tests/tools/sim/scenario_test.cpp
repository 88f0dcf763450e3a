// Scenario files: the examples load, the default file mirrors the built-in defaults, and every
// mistake is refused with a message that names the member at fault.

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "tools/sim/engine/replies.h"
#include "tools/sim/engine/scenario.h"

namespace {

using k426b_sim::ApplyChange;
using k426b_sim::DefaultScenario;
using k426b_sim::LoadScenarioFile;
using k426b_sim::Scenario;
using k426b_sim::ScenarioError;
using k426b_sim::ScenarioFromJson;
using k426b_sim::ScenarioToJson;

const std::string kExamples = std::string(K426B_SOURCE_DIR) + "/examples/";

Json::Value ParseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << text;
  return value;
}

// The ScenarioError text for `json`, or "" when it loads.
std::string ErrorOf(const std::string& json) {
  try {
    ScenarioFromJson(ParseJson(json));
  } catch (const ScenarioError& error) {
    return error.what();
  }
  return std::string();
}

TEST(Scenario, TheDefaultExampleFileMirrorsTheBuiltInDefaults) {
  EXPECT_EQ(ScenarioToJson(LoadScenarioFile(kExamples + "sim-default.json")), ScenarioToJson(DefaultScenario()));
}

TEST(Scenario, TheDefaultsMatchTheExampleHostConfiguration) {
  std::ifstream file(kExamples + "k426b.json");
  Json::Value config;
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), file, &config, nullptr));
  const Scenario scenario = DefaultScenario();
  EXPECT_EQ(scenario.ac_units.size(), config["acSetting"].size());
  EXPECT_EQ(scenario.dc_units.size(), config["dcSetting"].size());
  EXPECT_EQ(scenario.address, config["address"].asUInt());
}

TEST(Scenario, EveryExampleScenarioLoads) {
  for (const char* name : {"sim-default.json", "sim-alarms.json"}) {
    SCOPED_TRACE(name);
    EXPECT_NO_THROW(LoadScenarioFile(kExamples + name));
  }
}

TEST(Scenario, MembersLeftOutTakeTheirDefaultsAndNullIsAMissingReading) {
  const Scenario scenario = ScenarioFromJson(ParseJson(
      R"({"model": "K515F", "dc_units": [{"v": 48.0, "i": null}], "version": null})"));
  EXPECT_EQ(scenario.model, "K515F");
  EXPECT_FALSE(scenario.version.has_value());
  EXPECT_EQ(scenario.ac_units.size(), 2u);
  ASSERT_EQ(scenario.dc_units.size(), 1u);
  EXPECT_EQ(*scenario.dc_units[0].v, 48.0f);
  EXPECT_FALSE(scenario.dc_units[0].i.has_value());
  EXPECT_EQ(scenario.dc_units[0].fuses.size(), 64u);
}

TEST(Scenario, AScenarioSurvivesTheRoundTripThroughJson) {
  const Scenario scenario = LoadScenarioFile(kExamples + "sim-alarms.json");
  EXPECT_EQ(ScenarioToJson(ScenarioFromJson(ScenarioToJson(scenario))), ScenarioToJson(scenario));
}

struct BadScenarioRow {
  const char* json;
  const char* message;
};

TEST(Scenario, MistakesAreRefusedWithAMessageNamingTheMember) {
  const std::vector<BadScenarioRow> rows = {
      {R"([])", "scenario: expected an object"},
      {R"({"adress": 1})", "unknown member 'adress' \u2014 did you mean 'address'?"},
      {R"({"ac_units": [{"sreens": []}]})", "ac_units[0]: unknown member 'sreens' \u2014 did you mean 'screens'?"},
      {R"({"address": "one"})", "address: expected an integer from 0 to 255"},
      {R"({"address": 256})", "address: value 256 out of range 0 to 255"},
      {R"({"address": 1.5})", "address: expected an integer"},
      {R"({"model": 426})", "model: expected a text"},
      {R"({"model": "K426B-WITH-A-VERY-LONG-NAME"})", "model: longer than the 20-byte model field"},
      {R"({"ac_units": {}})", "ac_units: expected an array"},
      {R"({"ac_units": [{"screens": [{"alarms": [0, 0, 0]}]}]})",
       "ac_units[0].screens[0].alarms: expected 4 entries, got 3"},
      {R"({"ac_units": [{"ia": "ten"}]})", "ac_units[0].ia: expected a number or null"},
      {R"({"ac_units": [{"ia": 1e39}]})", "ac_units[0].ia: number does not fit a float"},
      {R"({"dc_units": [{"fuses": [0, 300]}]})", "dc_units[0].fuses[1]: value 300 out of range"},
      {R"({"rectifier": {"modules": [{"states": [0]}]}})", "rectifier.modules[0].states: expected 3 entries"},
      {R"({"parameters": {"ac": [1, 2]}})", "parameters.ac: expected 5 entries, got 2"},
      {R"({"changes": [{"set": {"address": 2}}]})", "changes[0]: give exactly one of at_cycle and after_seconds"},
      {R"({"changes": [{"at_cycle": 0, "set": {"address": 2}}]})", "changes[0].at_cycle: value 0 out of range"},
      {R"({"changes": [{"at_cycle": 2, "set": {}}]})", "changes[0].set: expected an object"},
      {R"({"changes": [{"at_cycle": 2, "set": {"ac_units.5.ia": 1}}]})",
       "changes[0]: set.ac_units.5.ia: names no field of the scenario"},
      {R"({"changes": [{"at_cycle": 2, "set": {"dc_units.0.v_alarm": "high"}}]})",
       "changes[0]: dc_units[0].v_alarm: expected an integer"},
      {R"({"faults": [{"kind": "lightning"}]})", "faults[0].kind: unknown fault \"lightning\""},
      {R"({"faults": [{"kind": "noise", "query": "40_42"}]})", "faults[0].query: expected a query name"},
      {R"({"faults": [{"kind": "wrong_unit_count", "query": "40_51"}]})",
       "faults[0]: wrong_unit_count cannot apply to the 40_51 reply"},
  };
  for (const BadScenarioRow& row : rows) {
    SCOPED_TRACE(row.json);
    const std::string error = ErrorOf(row.json);
    EXPECT_NE(error.find(row.message), std::string::npos) << "got: " << error;
  }
}

TEST(Scenario, AScenarioWhoseReplyNoFrameCanCarryIsRefused) {
  std::string screens;
  for (int i = 0; i < 130; ++i) screens += std::string(i ? "," : "") + "{}";
  EXPECT_NE(ErrorOf(R"({"ac_units": [{"screens": [)" + screens + "]}]}").find("the 40_41 reply needs"),
            std::string::npos);
}

TEST(Scenario, FilesThatCannotBeReadOrParsedNameTheFile) {
  const std::string missing = "/nonexistent/scenario.json";
  EXPECT_THROW(
      {
        try {
          LoadScenarioFile(missing);
        } catch (const ScenarioError& error) {
          EXPECT_EQ(std::string(error.what()), "cannot read scenario " + missing);
          throw;
        }
      },
      ScenarioError);

  const std::string path = testing::TempDir() + "malformed-scenario.json";
  std::ofstream(path) << "{\"model\": \"K426B\",";
  try {
    LoadScenarioFile(path);
    ADD_FAILURE() << "malformed JSON loaded";
  } catch (const ScenarioError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("scenario " + path + " is not valid JSON", 0), 0u)
        << error.what();
  }
  std::remove(path.c_str());
}

TEST(Scenario, AChangeSetsFieldsByPathWithIndicesInEitherSpelling) {
  k426b_sim::ScriptedChange change;
  change.at_cycle = 1;
  change.set["rectifier.modules[2].extra_alarms[1]"] = 1;
  change.set["dc_units.0.v"] = Json::Value();
  const Scenario changed = ApplyChange(DefaultScenario(), change);
  EXPECT_EQ(changed.rectifier.modules[2].extra_alarms[1], 1);
  EXPECT_FALSE(changed.dc_units[0].v.has_value());
  EXPECT_EQ(changed.rectifier.modules[1].extra_alarms[1], 0);
}

}  // namespace
