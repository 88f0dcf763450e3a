// Strict reading of hand-written JSON: parser failures and oversized files become messages,
// unknown members get the nearest known name, and the configuration check reports every
// problem at once.

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/reader.h>

#include "tests/support/scratch_folder.h"
#include "tools/common/strict_json.h"
#include "tools/host/config/config_check.h"

namespace {

using ::testing::HasSubstr;
using k426b_host::CheckConfig;
using k426b_host::CheckDeviceConfig;
using ::testing::Not;

std::string WriteFile(const std::string& name, const std::string& text) {
  static const ScratchFolder folder("strict");
  return folder.Write(name, text);
}

Json::Value Parse(const std::string& text) {
  Json::Value value;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << text;
  return value;
}

TEST(StrictJson, FilesTheParserCannotUseBecomeMessagesNotExceptions) {
  Json::Value document;
  const std::string deep = std::string(1001, '[') + std::string(1001, ']');
  EXPECT_THAT(LoadJsonFile(WriteFile("deep.json", deep), "configuration", document),
              HasSubstr("deep.json is not usable JSON"));
  EXPECT_THAT(LoadJsonFile(WriteFile("huge.json", "{\"a\": 1e99999}"), "configuration", document),
              HasSubstr("huge.json"));
  EXPECT_EQ(LoadJsonFile(WriteFile("utf8.json", "{\"a\": \"\xff\xfe\"}"), "configuration", document),
            "");
  const std::string large = "{\"pad\": \"" + std::string(2 * 1024 * 1024, 'x') + "\"}";
  EXPECT_THAT(LoadJsonFile(WriteFile("large.json", large), "configuration", document),
              HasSubstr("is too large: 2097163 bytes, the limit is 1048576"));
  EXPECT_EQ(LoadJsonFile(WriteFile("ok.json", "{\"a\": [[1]]}"), "scenario", document), "");
}

TEST(StrictJson, AnUnknownMemberIsNamedWithTheNearestKnownNameWhenThereIsOne) {
  const std::vector<std::string> known = {"address", "timeout_ms", "acSetting", "dcSetting"};
  EXPECT_EQ(NearestName("adress", known), "address");
  EXPECT_EQ(NearestName("acsetting", known), "acSetting");
  EXPECT_EQ(NearestName("colour", known), "");
  EXPECT_EQ(UnknownMemberMessage("", "adress", known),
            "unknown member 'adress' \u2014 did you mean 'address'?");
  EXPECT_EQ(UnknownMemberMessage("acSetting[0]", "zzz", known),
            "acSetting[0]: unknown member 'zzz'");
  // Names are shown as text a terminal can take.
  EXPECT_EQ(UnknownMemberMessage("", "x\xff\n", known), "unknown member 'x\\xFF\\x0A'");
  EXPECT_EQ(UnknownMemberMessage("", "\xe7\x94\xb5", known), "unknown member '\xe7\x94\xb5'");
}

TEST(ConfigCheck, EveryProblemIsReportedAtOnce) {
  const std::string problems = CheckConfig(Parse(R"({
      "data_id": 100, "adress": 1,
      "acSetting": [{"data_id": 101, "appSeting": {}}, {"data_id": 101}, {}],
      "dcSetting": [{"data_id": 100, "appSetting": {"diff_x": 1}}],
      "rcSetting": {"data_id": 7}})"));
  for (const char* expected : {
           "unknown member 'adress' \u2014 did you mean 'address'?",
           "acSetting[0]: unknown member 'appSeting' \u2014 did you mean 'appSetting'?",
           "acSetting[1].data_id: data_id 101 is already used at acSetting[0].data_id",
           "acSetting[2].data_id is missing",
           "dcSetting[0].data_id: data_id 100 is already used at data_id",
           "dcSetting[0].appSetting: unknown member 'diff_x'",
           "rcSetting: unknown member 'data_id'",
       })
    EXPECT_THAT(problems, HasSubstr(expected));
  EXPECT_THAT(CheckConfig(Parse(R"({"rcSetting": {}})")),
              HasSubstr("data_id is missing: the composite device needs a data id"));
}

TEST(ConfigCheck, DataIdsAreCheckedAcrossTheDevicesOfOneFile) {
  std::vector<std::string> problems;
  std::map<unsigned, std::string> data_ids;
  CheckDeviceConfig(Parse(R"({"data_id": 1, "acSetting": [{"data_id": 2}], "rcSetting": {}})"),
                    "sites[0].device", problems, data_ids);
  EXPECT_TRUE(problems.empty());
  CheckDeviceConfig(Parse(R"({"data_id": 3, "dcSetting": [{"data_id": 2}], "rcSetting": {}})"),
                    "sites[1].device", problems, data_ids);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0],
            "sites[1].device.dcSetting[0].data_id: data_id 2 is already used at "
            "sites[0].device.acSetting[0].data_id");
  EXPECT_THAT(CheckConfig(Parse(R"({"data_id": 1e30, "rcSetting": {}})")),
              Not(HasSubstr("already used")));
}

}  // namespace
