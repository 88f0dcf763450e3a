#pragma once

#include "host/export.h"

class ZVKSPDevice;

// Root factory interface of the host.
class ZVK_API Provider {
 public:
  virtual ~Provider();
};

// Factory of devices on the serial side of the host; the caller owns what create() returns.
class ZVK_API ZVKSPDeviceProvider : public Provider {
 public:
  ~ZVKSPDeviceProvider() override;
  virtual ZVKSPDevice* create() const = 0;
};
