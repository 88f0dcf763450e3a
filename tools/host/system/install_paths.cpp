#include "tools/host/system/install_paths.h"

#include <cstdlib>
#include <system_error>

namespace k426b_host {

namespace fs = std::filesystem;

namespace {

fs::path ProgramDir() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : self.parent_path();
}

bool Exists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// The first absolute folder of a variable systemd sets (it may list several, colon-separated).
std::string FirstDirectoryOf(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr || value[0] != '/') return {};
  const std::string list(value);
  return list.substr(0, list.find(':'));
}

}  // namespace

fs::path InstalledPrefix() {
  const fs::path bin = ProgramDir();
  if (bin.empty() || !Exists(bin / K426B_PLUGIN_FROM_BINDIR)) return {};
  return (bin / K426B_PREFIX_FROM_BINDIR).lexically_normal();
}

std::string DefaultPluginPath() {
  const fs::path bin = ProgramDir();
  if (!bin.empty()) {
    for (const fs::path& candidate : {bin / "libk426b.so", bin / K426B_PLUGIN_FROM_BINDIR}) {
      if (Exists(candidate)) return candidate.lexically_normal().string();
    }
  }
#ifdef K426B_BUILT_PLUGIN
  return K426B_BUILT_PLUGIN;
#else
  return "libk426b.so";
#endif
}

std::string DefaultStateDir() {
  if (std::string state = FirstDirectoryOf("STATE_DIRECTORY"); !state.empty()) return state;
  fs::path base;
  const char* state_home = std::getenv("XDG_STATE_HOME");
  if (state_home != nullptr && state_home[0] == '/') {
    base = state_home;
  } else {
    const char* home = std::getenv("HOME");
    base = fs::path(home != nullptr ? home : ".") / ".local" / "state";
  }
  return (base / "k426b").string();
}

std::string DefaultSitesPath() {
  if (std::string configuration = FirstDirectoryOf("CONFIGURATION_DIRECTORY");
      !configuration.empty())
    return (fs::path(configuration) / "sites.json").string();
  const fs::path prefix = InstalledPrefix();
  // A program under /usr keeps its configuration in /etc, as the file system hierarchy asks.
  const fs::path etc = prefix.empty()     ? fs::path(K426B_SYSCONFDIR)
                       : prefix == "/usr" ? fs::path("/etc")
                                          : prefix / "etc";
  return (etc / "k426b" / "sites.json").string();
}

}  // namespace k426b_host
