// A plug-in for the end-to-end tests that refuses every configuration: its composite device is
// the built one, except that InitSetting always returns false. It stands for a plug-in that
// checks more than the host's own configuration check does.

#include <memory>
#include <vector>

#include "host/provider.h"
#include "plugin/k426b.h"

namespace {

class RefusingDevice : public K426B {
 public:
  bool InitSetting(const Json::Value&) override { return false; }
};

class RefusingProvider : public ZVKSPDeviceProvider {
 public:
  ZVKSPDevice* create() const override { return new RefusingDevice; }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers() {
  return {std::make_shared<RefusingProvider>()};
}
