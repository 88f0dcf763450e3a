// The sites file: what a usable file gives, and every problem of a bad one named at once.

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/reader.h>

#include "tests/support/scratch_folder.h"
#include "tools/host/config/sites_file.h"

namespace k426b_host {

namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::HasSubstr;

class SitesFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& text) {
    return folder_.Write(name, text);
  }
  static std::string Device(unsigned base) {
    const std::string id = std::to_string(base);
    return R"({"data_id": )" + id + R"(, "acSetting": [{"data_id": )" + std::to_string(base + 1) +
           R"(}], "dcSetting": [{"data_id": )" + std::to_string(base + 2) +
           R"(}], "rcSetting": {}})";
  }

  const ScratchFolder folder_{"sites"};
  const std::string directory_ = folder_.path().string();
};

TEST_F(SitesFileTest, ReadsInlineAndReferencedDevices) {
  Write("south.json", Device(200));
  const SitesFile file = LoadSitesFile(Write("sites.json", R"({"sites": [
      {"name": "north-1", "port": "/dev/ttyUSB0", "baud": 19200, "device": )" + Device(100) + R"(},
      {"name": "south_2", "port": "tcp://[::1]:4001", "device": "south.json"}]})"));
  ASSERT_THAT(file.problems, ::testing::IsEmpty());
  ASSERT_EQ(file.sites.size(), 2u);
  EXPECT_EQ(file.sites[0].name, "north-1");
  EXPECT_EQ(file.sites[0].baud, 19200);
  EXPECT_EQ(file.sites[0].device["data_id"].asUInt(), 100u);
  EXPECT_EQ(file.sites[0].device_file, "");
  EXPECT_EQ(file.sites[1].port, "tcp://[::1]:4001");
  EXPECT_EQ(file.sites[1].baud, 9600);
  EXPECT_EQ(file.sites[1].device_file, directory_ + "/south.json");
  EXPECT_EQ(file.sites[1].device["dcSetting"][0]["data_id"].asUInt(), 202u);
}

TEST_F(SitesFileTest, SitesShareAPortOnlyWithAddressesOfTheirOwnAndOneBaud) {
  auto at = [](unsigned base, int address) {
    std::string device = Device(base);
    return device.insert(1, R"("address": )" + std::to_string(address) + ", ");
  };
  const SitesFile shared = LoadSitesFile(Write("shared.json", R"({"sites": [
      {"name": "a", "port": "/dev/ttyS0", "device": )" + at(100, 1) + R"(},
      {"name": "b", "port": "/dev/ttyS0", "baud": 19200, "device": )" + at(200, 2) + R"(},
      {"name": "c", "port": "/dev/ttyS1", "device": )" + at(300, 2) + R"(}]})"));
  ASSERT_THAT(shared.problems, ::testing::IsEmpty());
  EXPECT_TRUE(shared.sites[0].shared);
  EXPECT_EQ(shared.sites[0].baud, 19200);  // the line's one speed, given by either site
  EXPECT_EQ(shared.sites[1].address, 2);
  EXPECT_FALSE(shared.sites[2].shared);

  const SitesFile refused = LoadSitesFile(Write("refused.json", R"({"sites": [
      {"name": "a", "port": "/dev/ttyS0", "baud": 9600, "device": )" + at(100, 1) + R"(},
      {"name": "b", "port": "/dev/ttyS0", "baud": 19200, "device": )" + at(200, 2) + R"(},
      {"name": "c", "port": "/dev/ttyS0", "device": )" + at(300, 1) + R"(}]})"));
  EXPECT_THAT(refused.problems,
              ::testing::UnorderedElementsAre(
                  HasSubstr("sites[1].baud 19200 differs from 9600 at sites[0]"),
                  HasSubstr("sites[2].port \"/dev/ttyS0\" is already used at sites[0] with the "
                            "same address 1")));
  EXPECT_THAT(refused.sites, ::testing::IsEmpty());
}

TEST_F(SitesFileTest, NamesADuplicateDataIdAnUnknownMemberAndABadAddressTogether) {
  Write("south.json", Device(200));
  const SitesFile file = LoadSitesFile(Write("sites.json", R"({"sites": [
      {"name": "north", "port": "/dev/ttyUSB0", "device": )" + Device(100) + R"(},
      {"nmae": "east", "name": "east", "port": "tcp://10.0.0.7", "device": )" + Device(300) + R"(},
      {"name": "south", "port": "/dev/ttyUSB1", "device": "south.json"},
      {"name": "west", "port": "/dev/ttyUSB2", "device": )" + Device(202) + R"(}]})"));
  EXPECT_TRUE(file.sites.empty());
  EXPECT_THAT(file.problems, Contains(HasSubstr("unknown member 'nmae' \u2014 did you mean 'name'?")));
  EXPECT_THAT(file.problems, Contains(AllOf(HasSubstr("sites[1].port"),
                                            HasSubstr("malformed address \"tcp://10.0.0.7\""))));
  EXPECT_THAT(file.problems,
              Contains(HasSubstr("sites[3].device.data_id: data_id 202 is already used at "
                                 "sites[2].device (south.json).dcSetting[0].data_id")));
  EXPECT_EQ(file.problems.size(), 3u) << ::testing::PrintToString(file.problems);
}

TEST_F(SitesFileTest, ChecksNamesPortsBaudAndDevices) {
  const SitesFile file = CheckSitesDocument(
      [&] {
        Json::Value document;
        std::string errors;
        Json::CharReaderBuilder builder;
        const std::string text = R"({"site": 1, "sites": [
          {"name": "bad name", "port": "ttyUSB0", "baud": 9601, "device": "missing.json"},
          {"name": "a", "port": "/dev/ttyS0", "device": 5},
          {"name": "a", "port": "/dev/ttyS0", "device": {"data_id": 7}},
          "not a site"]})";
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        reader->parse(text.data(), text.data() + text.size(), &document, &errors);
        return document;
      }(),
      directory_);
  const auto& p = file.problems;
  EXPECT_THAT(p, Contains(HasSubstr("the sites file: unknown member 'site' \u2014 did you mean 'sites'?")));
  EXPECT_THAT(p, Contains(HasSubstr("sites[0].name must be 1 to 64 letters")));
  EXPECT_THAT(p, Contains(HasSubstr("sites[0].port \"ttyUSB0\" is neither an absolute device path")));
  EXPECT_THAT(p, Contains(HasSubstr("sites[0].baud must be one of")));
  EXPECT_THAT(p, Contains(AllOf(HasSubstr("sites[0].device"), HasSubstr("missing.json"))));
  EXPECT_THAT(p, Contains(HasSubstr("sites[1].device must be the device configuration")));
  EXPECT_THAT(p, Contains(HasSubstr("sites[2].name \"a\" is already used at sites[1]")));
  EXPECT_THAT(p, Contains(HasSubstr("sites[2].port \"/dev/ttyS0\" is already used at sites[1]")));
  EXPECT_THAT(p, Contains(HasSubstr("sites[2].device: rcSetting is missing")));
  EXPECT_THAT(p, Contains(HasSubstr("sites[3]: a site must be an object")));
}

TEST(SitesExampleTest, TheExampleSitesFileIsUsable) {
  const SitesFile file = LoadSitesFile(K426B_EXAMPLES_DIR "/sites.json");
  EXPECT_THAT(file.problems, ::testing::IsEmpty());
  ASSERT_EQ(file.sites.size(), 3u);
  EXPECT_EQ(file.sites[0].device["data_id"].asUInt(), 100u);  // from examples/k426b.json
  EXPECT_EQ(file.sites[2].port.rfind("tcp://", 0), 0u);
}

TEST_F(SitesFileTest, RefusesFilesThatAreNotASitesList) {
  EXPECT_THAT(LoadSitesFile(Write("a.json", "{\"sites\": [")).problems,
              Contains(HasSubstr("not valid JSON")));
  EXPECT_THAT(LoadSitesFile(Write("b.json", "{\"sites\": []}")).problems,
              Contains(HasSubstr("sites must be a non-empty list")));
  EXPECT_THAT(LoadSitesFile(Write("c.json", "[]")).problems,
              Contains(HasSubstr("must be a JSON object")));
  EXPECT_FALSE(LoadSitesFile(directory_ + "/none.json").problems.empty());
}

}  // namespace

}  // namespace k426b_host
