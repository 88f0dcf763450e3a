// The built plug-in as the host meets it: loaded with dlopen, reached only through get_providers
// and the host's own interfaces.

#include <dlfcn.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "host/pmbus_protocol.h"
#include "host/provider.h"
#include "tests/composite/k426b_replies.h"
#include "tests/composite/scripted_equipment.h"
#include "tests/support/recording_host.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

// Loaded once and never unloaded: the providers' and devices' code lives in the library.
GetProviders load_plugin() {
  static void* const library = dlopen(K426B_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  return reinterpret_cast<GetProviders>(dlsym(library, "get_providers"));
}

std::shared_ptr<ZVKSPDevice> create(const std::shared_ptr<Provider>& provider) {
  auto* factory = dynamic_cast<ZVKSPDeviceProvider*>(provider.get());
  if (factory == nullptr) return nullptr;
  return std::shared_ptr<ZVKSPDevice>(factory->create());
}

TEST(Plugin, GetProvidersIsExportedUnmangled) {
  ASSERT_NE(load_plugin(), nullptr) << dlerror();
}

TEST(Plugin, FourProvidersEachCreateDistinctDevicesOfTheirKind) {
  const GetProviders get_providers = load_plugin();
  ASSERT_NE(get_providers, nullptr);

  const std::vector<std::shared_ptr<Provider>> providers = get_providers();

  const std::vector<std::string> device_types = {"k426b", "k426b-ac", "k426b-dc", "k426b-rc"};
  ASSERT_EQ(providers.size(), device_types.size());
  for (std::size_t i = 0; i < providers.size(); ++i) {
    SCOPED_TRACE(device_types[i]);
    const std::shared_ptr<ZVKSPDevice> first = create(providers[i]);
    const std::shared_ptr<ZVKSPDevice> second = create(providers[i]);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(first->DeviceType(), device_types[i]);
    EXPECT_EQ(second->DeviceType(), device_types[i]);
  }
}

TEST(Plugin, EachCallBuildsFreshProviders) {
  const GetProviders get_providers = load_plugin();
  ASSERT_NE(get_providers, nullptr);

  const auto first = get_providers();
  const auto second = get_providers();

  ASSERT_EQ(first.size(), second.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_NE(first[i], second[i]);
    EXPECT_EQ(first[i].use_count(), 1);
  }
}

TEST(Plugin, TheCompositeDeviceTalksAt9600WithVersion20) {
  const GetProviders get_providers = load_plugin();
  ASSERT_NE(get_providers, nullptr);

  const std::shared_ptr<ZVKSPDevice> device = create(get_providers().at(0));

  EXPECT_EQ(device->Speed(), 9600);
  EXPECT_EQ(device->Option(), 1);
  auto* codec = dynamic_cast<PMBusProtocol*>(device.get());
  ASSERT_NE(codec, nullptr);
  EXPECT_EQ(codec->ProtocolVersion(), 0x20);
}

// Runs one model check and cycle of a composite device from the plug-in against equipment that
// reports `field`; returns how many model alarms were recorded.
std::size_t model_alarms_for(const Bytes& field) {
  RecordingHost host;
  const std::shared_ptr<ZVKSPDevice> device = create(load_plugin()().at(0));
  Json::Value config(Json::objectValue);
  config["acSetting"].append(Json::Value(Json::objectValue))["data_id"] = 101;
  config["dcSetting"].append(Json::Value(Json::objectValue))["data_id"] = 201;
  config["rcSetting"] = Json::Value(Json::objectValue);
  EXPECT_TRUE(device->Init(host.controller, 100, config));
  ScriptedEquipment equipment(*device);
  k426b_replies::PowerSystem system;
  system.ac_screens = {1};
  system.script(equipment);
  equipment.Answer(0x40, 0x51, field);

  equipment.Poll();
  host.drain();

  EXPECT_EQ(host.events->cycles(), (std::vector<unsigned>{1}));
  std::size_t alarms = 0;
  for (const RecordedRule& recorded : host.events->rules())
    alarms += recorded.rule.rule_id == "device_model";
  return alarms;
}

TEST(Plugin, TheCompositeDeviceAcceptsExactlyItsThreeModels) {
  ASSERT_NE(load_plugin(), nullptr);
  using k426b_replies::model_field;

  for (const char* model : {"K426B", "K515F", "K525F"}) {
    SCOPED_TRACE(model);
    EXPECT_EQ(model_alarms_for(model_field(model)), 0u);
  }
  for (const char* model : {"K426", "K515", "K525FF", "X426B"}) {
    SCOPED_TRACE(model);
    EXPECT_EQ(model_alarms_for(model_field(model)), 1u);
  }
}

}  // namespace
