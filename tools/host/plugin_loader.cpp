#include "tools/host/plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "host/device.h"
#include "host/provider.h"

namespace {
using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
}

std::string DefaultPluginPath() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const std::filesystem::path beside = self.parent_path() / "libk426b.so";
    if (std::filesystem::exists(beside, error)) return beside.string();
  }
#ifdef K426B_BUILT_PLUGIN
  return K426B_BUILT_PLUGIN;
#else
  return "libk426b.so";
#endif
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
