#pragma once

// What the bench host and the service start with, written once: the command line's own checks,
// the failure message and its exit status, the `start` event, the plug-in, the history and the
// HTTP endpoint. Both runs check the command line and the configuration files before they open
// anything; a device configuration the plug-in itself refuses is found once the plug-in is
// loaded, still before anything is opened.

#include <memory>
#include <string>

#include <json/value.h>

#include "tools/host/app/options.h"
#include "tools/host/http/http_server.h"
#include "tools/host/status/history_health.h"
#include "tools/host/status/mqtt_health.h"
#include "tools/host/status/status_board.h"
#include "tools/host/store/history_store.h"
#include "tools/host/system/plugin_loader.h"

namespace k426b_host {

// Exit statuses of both runs.
constexpr int kRunFailed = 1;  // a run-time failure (plug-in, history, line, endpoint)
constexpr int kBadUsage = 2;   // a bad command line or configuration

// Prints "k426b-host: MESSAGE" on standard error and returns `status`.
int Fail(int status, const std::string& message);

// --listen read as an address, when given. Empty when it is good (or not given), else the usage
// error.
std::string CheckListen(const HostOptions& options, ListenAddress& listen);

// The `start` event's members: the version, the command line's arguments and the configuration
// file the run reads.
Json::Value StartEvent(const ParsedOptions& parsed, const std::string& config_path);

struct PluginAndHistory {
  LoadedPlugin plugin;
  std::unique_ptr<HistoryStore> history;  // null with --no-history
  std::string history_path;
};
// Loads the plug-in (--plugin, else the installed one). Empty on success, else the run-time
// failure.
std::string LoadHostPlugin(const HostOptions& options, PluginAndHistory& opened);
// Opens the history (--history, else the default place, the built-in simulator's own with
// `simulator`) unless --no-history. Empty on success, else the run-time failure.
std::string OpenHistory(const HostOptions& options, bool simulator, PluginAndHistory& opened);
// What to do when the default history, which depends on who runs the program, cannot be opened.
std::string HistoryFolderHint(const std::string& history_path);

// With --listen: the metrics (with the history writer's and the broker output's, when `history`
// and `mqtt` are given) and the web
// page over `board`, served at `listen`. Empty on success (or without --listen), else the
// run-time failure.
std::string StartHttp(const HostOptions& options, const ListenAddress& listen, StatusBoard& board,
                      HttpServer& http, const HistoryHealthView* history = nullptr,
                      const MqttHealthView* mqtt = nullptr);

}  // namespace k426b_host
