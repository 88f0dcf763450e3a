#include "plugin/providers.h"

#include "plugin/k426b.h"

ZVKSPDevice* K426BProvider::create() const { return new K426B; }
ZVKSPDevice* K426BACProvider::create() const { return new K426BAC; }
ZVKSPDevice* K426BDCProvider::create() const { return new K426BDC; }
ZVKSPDevice* K426BRCProvider::create() const { return new K426BRC; }

std::vector<std::shared_ptr<Provider>> get_providers() {
  return {std::make_shared<K426BProvider>(), std::make_shared<K426BACProvider>(),
          std::make_shared<K426BDCProvider>(), std::make_shared<K426BRCProvider>()};
}
