#pragma once

// Loading the driver plug-in the way the host monitoring program does: dlopen, then its one
// exported entry point get_providers.

#include <memory>
#include <string>
#include <vector>

#include "tools/host/system/install_paths.h"  // DefaultPluginPath

class Provider;
class ZVKSPDevice;

namespace k426b_host {

struct LoadedPlugin {
  std::string path;
  void* handle = nullptr;  // never closed: devices and providers run code inside it
  std::vector<std::shared_ptr<Provider>> providers;
};

// Empty result on success, else the reason.
std::string LoadPlugin(const std::string& path, LoadedPlugin& plugin);

// The composite device from provider 0, owned by a shared pointer as every device must be.
std::shared_ptr<ZVKSPDevice> CreateCompositeDevice(const LoadedPlugin& plugin, std::string& error);

}  // namespace k426b_host
