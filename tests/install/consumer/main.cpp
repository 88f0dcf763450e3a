// Loads the installed plug-in through the installed host framework and makes its composite device.
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "host/device.h"
#include "host/provider.h"

int main() {
  void* plugin = ::dlopen(PLUGIN, RTLD_NOW | RTLD_LOCAL);
  if (plugin == nullptr) {
    std::fprintf(stderr, "%s\n", ::dlerror());
    return 1;
  }
  using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
  auto get_providers = reinterpret_cast<GetProviders>(::dlsym(plugin, "get_providers"));
  if (get_providers == nullptr) return 1;
  const auto providers = get_providers();
  auto* factory = providers.empty() ? nullptr : dynamic_cast<ZVKSPDeviceProvider*>(providers[0].get());
  if (factory == nullptr) return 1;
  std::shared_ptr<ZVKSPDevice> device(factory->create());  // devices live in shared pointers
  std::printf("%zu providers, composite device %s\n", providers.size(), device ? "made" : "missing");
  return device ? 0 : 1;
}
