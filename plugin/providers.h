#pragma once

// The plug-in's entry point: one factory per device kind it offers.

#include <memory>
#include <vector>

#include "host/provider.h"

class K426BProvider : public ZVKSPDeviceProvider {
 public:
  ZVKSPDevice* create() const override;
};

class K426BACProvider : public ZVKSPDeviceProvider {
 public:
  ZVKSPDevice* create() const override;
};

class K426BDCProvider : public ZVKSPDeviceProvider {
 public:
  ZVKSPDevice* create() const override;
};

class K426BRCProvider : public ZVKSPDeviceProvider {
 public:
  ZVKSPDevice* create() const override;
};

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
// Fresh providers on every call, in this order: composite, AC, DC, rectifier.
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
