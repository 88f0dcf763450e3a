// The composite device's fixed settings, its children as its configuration describes them, and
// bad configurations.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "tests/composite/k426b_fixture.h"

namespace {

using Strings = std::vector<std::string>;

Json::Value parse_json(const std::string& text) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << errors;
  return value;
}

// "k426b-ac 101" for each entry of GetAllChildVDevices; "none" for an empty pointer.
Strings children_of(ZVKVDevice& device) {
  Strings children;
  for (const std::shared_ptr<ZVKVDevice>& child : device.GetAllChildVDevices())
    children.push_back(child ? child->DeviceType() + " " + std::to_string(child->DataId())
                             : "none");
  return children;
}

struct Configured {
  explicit Configured(const std::string& config_text)
      : result(device->Init(host.controller, kCompositeId, parse_json(config_text))) {}
  RecordingHost host;
  std::shared_ptr<K426B> device = std::make_shared<K426B>();
  bool result;
};

TEST(K426BSettings, ANewDeviceTalksAt9600WithVersion20AndAcceptsThreeModels) {
  K426B device;

  EXPECT_EQ(device.DeviceType(), "k426b");
  EXPECT_EQ(device.Speed(), 9600);
  EXPECT_EQ(device.Option(), 1);
  EXPECT_EQ(device.ProtocolVersion(), 0x20);
  EXPECT_EQ(device.AcceptedModels(), (Strings{"K426B", "K515F", "K525F"}));
  EXPECT_TRUE(device.GetAllChildVDevices() == std::vector<std::shared_ptr<ZVKVDevice>>{nullptr});
}

TEST(CompositeConfiguration, ChildrenComeInConfigurationOrderAcThenDcThenRectifier) {
  Configured configured(R"({"acSetting": [{"data_id": 101}, {"data_id": 102}],
                            "dcSetting": [{"data_id": 201}], "rcSetting": {}})");

  EXPECT_TRUE(configured.result);
  EXPECT_EQ(children_of(*configured.device),
            (Strings{"k426b-ac 101", "k426b-ac 102", "k426b-dc 201", "k426b-rc 100"}));
  for (const auto& child : configured.device->GetAllChildVDevices())
    EXPECT_EQ(child->Parent(), configured.device.get());
}

TEST(CompositeConfiguration, WithoutRcSettingInitFailsKeepsItsUnitsAndIsNeverPolled) {
  Configured configured(R"({"acSetting": [{"data_id": 101}], "dcSetting": [{"data_id": 201}]})");
  ScriptedEquipment equipment(*configured.device);

  EXPECT_FALSE(configured.result);
  EXPECT_EQ(children_of(*configured.device), (Strings{"k426b-ac 101", "k426b-dc 201", "none"}));
  EXPECT_FALSE(equipment.Poll());
  EXPECT_EQ(configured.device->Busy(), 0);
  EXPECT_TRUE(configured.host.events->queries().empty());
}

TEST(CompositeConfiguration, RejectedCodecSettingsCreateNoChild) {
  for (const char* text : {R"({"address": 300, "acSetting": [{"data_id": 1}], "rcSetting": {}})",
                           R"({"timeout_ms": "fast", "rcSetting": {}})", R"([1, 2])"}) {
    SCOPED_TRACE(text);
    Configured configured(text);

    EXPECT_FALSE(configured.result);
    EXPECT_EQ(children_of(*configured.device), (Strings{"none"}));
  }
}

TEST(CompositeConfiguration, UnitSettingsThatAreNotArraysCreateNoUnits) {
  Configured configured(R"({"acSetting": {"data_id": 101}, "dcSetting": 5, "rcSetting": {}})");

  EXPECT_TRUE(configured.result);
  EXPECT_EQ(children_of(*configured.device), (Strings{"k426b-rc 100"}));
}

TEST(CompositeConfiguration, AChildDataIdIsTakenAsUnsignedAndOneThatCannotBeGivesZero) {
  Configured configured(R"({"acSetting": [{}, {"data_id": "7"}, {"data_id": -3}, 4,
                                          {"data_id": 4294967296}],
                            "dcSetting": [{"data_id": 2.5}, null, {"data_id": true}],
                            "rcSetting": {}})");

  EXPECT_TRUE(configured.result);
  EXPECT_EQ(children_of(*configured.device),
            (Strings{"k426b-ac 0", "k426b-ac 0", "k426b-ac 0", "k426b-ac 0", "k426b-ac 0",
                     "k426b-dc 2", "k426b-dc 0", "k426b-dc 1", "k426b-rc 100"}));
}

TEST(CompositeConfiguration, ChildLookUpFindsAcBeforeDcAndNeverTheRectifier) {
  Configured configured(R"({"acSetting": [{"data_id": 7}, {"data_id": 8}],
                            "dcSetting": [{"data_id": 7}, {"data_id": 9}], "rcSetting": {}})");
  K426B& device = *configured.device;

  EXPECT_EQ(device.GetChildVDevice(7)->DeviceType(), "k426b-ac");
  EXPECT_EQ(device.GetChildVDevice(8)->DeviceType(), "k426b-ac");
  EXPECT_EQ(device.GetChildVDevice(9)->DeviceType(), "k426b-dc");
  EXPECT_EQ(device.GetChildVDevice(kCompositeId), nullptr);
  EXPECT_EQ(device.GetChildVDevice(10), nullptr);
}

TEST(CompositeConfiguration, AUnitConfiguredWithTheCompositeIdIsFoundByIt) {
  Configured configured(R"({"dcSetting": [{"data_id": 100}], "rcSetting": {}})");

  EXPECT_EQ(configured.device->GetChildVDevice(kCompositeId)->DeviceType(), "k426b-dc");
}

TEST(CompositeConfiguration, ASecondInitSettingAddsUnitsAndReplacesTheRectifier) {
  Configured configured(R"({"acSetting": [{"data_id": 101}], "rcSetting": {}})");
  const std::shared_ptr<ZVKVDevice> first_rectifier =
      configured.device->GetAllChildVDevices().back();

  EXPECT_TRUE(configured.device->InitSetting(
      parse_json(R"({"acSetting": [{"data_id": 102}], "dcSetting": [{"data_id": 201}],
                     "rcSetting": {}})")));

  EXPECT_EQ(children_of(*configured.device),
            (Strings{"k426b-ac 101", "k426b-ac 102", "k426b-dc 201", "k426b-rc 100"}));
  EXPECT_NE(configured.device->GetAllChildVDevices().back(), first_rectifier);
}

TEST(CompositeConfiguration, TheCompositeTakesAnyCacheImageWithoutKeepingIt) {
  K426B device;

  EXPECT_TRUE(device.LoadFromCache(nullptr, 0));
  EXPECT_TRUE(device.LoadFromCache(std::string("\x01\x02\x03", 3)));
  EXPECT_FALSE(device.HasData());
}

TEST(CompositeConfiguration, AChildTheHostHoldsOutlivesTheComposite) {
  std::shared_ptr<ZVKVDevice> child;
  {
    Configured configured(R"({"acSetting": [{"data_id": 101}], "rcSetting": {}})");
    child = configured.device->GetChildVDevice(101);
  }
  EXPECT_EQ(child->DeviceType(), "k426b-ac");
  EXPECT_EQ(child->DataId(), 101u);
}

}  // namespace
