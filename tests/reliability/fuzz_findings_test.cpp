// Inputs the fuzzers found that once broke the plug-in, each held to the sound behaviour.

#include <memory>
#include <sstream>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include "host/controller.h"
#include "plugin/k426b.h"

namespace {

Json::Value Parse(const char* text) {
  Json::Value value;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr));
  return value;
}

// config_fuzz: a whole number above the signed 64-bit range in "address" or "timeout_ms" threw
// Json::LogicError out of InitSetting; it is refused like any other value out of range.
TEST(FuzzFindings, ASettingBeyondSixtyFourBitsIsRefusedNotThrown) {
  auto controller = std::make_shared<ZVKController>();
  for (const char* text : {R"({"address": 15532559262904483840, "rcSetting": {}})",
                           R"({"timeout_ms": 18446744073709551615, "rcSetting": {}})"}) {
    SCOPED_TRACE(text);
    auto device = std::make_shared<K426B>();
    bool initialised = true;
    EXPECT_NO_THROW(initialised = device->Init(controller, 100, Parse(text)));
    EXPECT_FALSE(initialised);
  }
}

}  // namespace
