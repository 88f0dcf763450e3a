#include "host/provider.h"

Provider::~Provider() = default;
ZVKSPDeviceProvider::~ZVKSPDeviceProvider() = default;
