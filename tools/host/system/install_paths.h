#pragma once

// Where k426b-host finds its plug-in, its sites file and its state, in the build tree and once
// installed. An installed tree may be moved: everything it ships is found relative to the running
// program, never through a path fixed at build time.

#include <filesystem>
#include <string>

namespace k426b_host {

// The prefix of the installed tree the running program belongs to (the folder above its bin/,
// recognised by the plug-in in its library folder); empty when it runs from the build tree.
std::filesystem::path InstalledPrefix();

// libk426b.so beside the program (build tree), else in the installed tree's library folder
// (<prefix>/lib/k426b), else the one the build produced.
std::string DefaultPluginPath();

// The folder for history and other state: $STATE_DIRECTORY when systemd gives one (/var/lib/k426b
// under the service), else $XDG_STATE_HOME/k426b, else ~/.local/state/k426b.
std::string DefaultStateDir();

// The sites file: $CONFIGURATION_DIRECTORY/sites.json under systemd, else /etc/k426b/sites.json
// for a program installed under /usr, else <prefix>/etc/k426b/sites.json.
std::string DefaultSitesPath();

}  // namespace k426b_host
