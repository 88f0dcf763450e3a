// Feeds arbitrary bytes to the configuration path: the bench host's file loading and checks, the
// same document checked as one device of a larger file, the composite device's InitSetting and
// each unit's InitV. Nothing may throw out of them, and a configuration the host's check accepts
// must initialise the composite device.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>
#include <json/reader.h>

#include "fuzz/fuzz_support.h"
#include "plugin/k426b.h"
#include "tools/host/config/config_check.h"

namespace {

using k426b_fuzz::require;
using k426b_host::CheckConfig;
using k426b_host::CheckDeviceConfig;
using k426b_host::LoadConfigFile;


void init_units(ZVKVDevice* parent, const Json::Value& config) {
  const Json::Value none;
  for (const Json::Value* element :
       {&config, config.isObject() ? &config["acSetting"] : &none,
        config.isObject() ? &config["dcSetting"] : &none,
        config.isObject() ? &config["rcSetting"] : &none}) {
    std::make_shared<K426BAC>()->InitV(parent, 7, *element);
    std::make_shared<K426BDC>("K426B")->InitV(parent, 7, *element);
    std::make_shared<K426BRC>()->InitV(parent, 7, *element);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  k426b_fuzz::silence_stdout();
  static const k426b_fuzz::QuietHost host;
  static k426b_fuzz::MemoryFile file;

  Json::Value parsed;
  try {
    if (!LoadConfigFile(file.Write(data, size), parsed).empty()) return 0;
  } catch (const Json::RuntimeError& error) {
    // Nesting beyond the reader's depth limit is thrown, not returned; the bench host turns it
    // into a message and status 2 where it loads its file. Any other exception is a finding.
    require(std::string(error.what()).find("stack limit") != std::string::npos);
    return 0;
  }
  const Json::Value& config = parsed;

  const std::string problem = CheckConfig(config);
  std::vector<std::string> problems;
  std::map<unsigned, std::string> data_ids;
  CheckDeviceConfig(config, "device", problems, data_ids);

  auto device = std::make_shared<K426B>();
  const unsigned data_id =
      config.isObject() && config["data_id"].isUInt() ? config["data_id"].asUInt() : 0;
  const bool initialised = device->Init(host.controller, data_id, config);
  if (problem.empty()) require(initialised);
  init_units(device.get(), config);
  for (const auto& child : device->GetAllChildVDevices()) require(child != nullptr || !initialised);
  host.controller->Drain();
  return 0;
}
