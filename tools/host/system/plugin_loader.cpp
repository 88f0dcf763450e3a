#include "tools/host/system/plugin_loader.h"

#include <dlfcn.h>

#include "host/device.h"
#include "host/provider.h"

namespace k426b_host {

namespace {
using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
}

std::string LoadPlugin(const std::string& path, LoadedPlugin& plugin) {
  plugin.path = path;
  plugin.handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (plugin.handle == nullptr) return "cannot load the plug-in " + path + ": " + ::dlerror();
  ::dlerror();
  void* entry = ::dlsym(plugin.handle, "get_providers");
  if (const char* failure = ::dlerror(); failure != nullptr || entry == nullptr)
    return "the plug-in " + path + " exports no get_providers";
  plugin.providers = reinterpret_cast<GetProviders>(entry)();
  if (plugin.providers.empty()) return "the plug-in " + path + " offers no provider";
  return {};
}

std::shared_ptr<ZVKSPDevice> CreateCompositeDevice(const LoadedPlugin& plugin, std::string& error) {
  auto* factory = dynamic_cast<ZVKSPDeviceProvider*>(plugin.providers.front().get());
  if (factory == nullptr) {
    error = "the plug-in's first provider does not make serial devices";
    return nullptr;
  }
  std::shared_ptr<ZVKSPDevice> device(factory->create());
  if (!device) error = "the plug-in's first provider made no device";
  return device;
}

}  // namespace k426b_host
