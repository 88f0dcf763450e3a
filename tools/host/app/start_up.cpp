#include "tools/host/app/start_up.h"

#include <cstdio>
#include <filesystem>

#include <fmt/format.h>

#include "tools/common/version.h"
#include "tools/host/http/metrics.h"
#include "tools/host/http/web.h"

namespace k426b_host {

int Fail(int status, const std::string& message) {
  fmt::print(stderr, "k426b-host: {}\n", message);
  return status;
}

std::string CheckListen(const HostOptions& options, ListenAddress& listen) {
  if (options.listen.empty())
    return options.web_config_file.empty() ? "" : "--web.config.file secures --listen: give both";
  if (auto problem = ParseListenAddress(options.listen, listen); !problem.empty())
    return "--listen: " + problem;
  if (options.web_config_file.empty()) return {};
  // Read in full (certificates and key too) before anything is opened, then again at the start
  // of the endpoint.
  HttpServer checked;
  if (auto problem = checked.Secure(options.web_config_file); !problem.empty())
    return "--web.config.file: " + problem;
  return {};
}

Json::Value StartEvent(const ParsedOptions& parsed, const std::string& config_path) {
  Json::Value members(Json::objectValue);
  members["version"] = K426B_VERSION_STRING;
  Json::Value arguments(Json::arrayValue);
  for (const std::string& argument : parsed.arguments) arguments.append(argument);
  members["options"] = arguments;
  members["config"] = config_path;
  return members;
}

std::string LoadHostPlugin(const HostOptions& options, PluginAndHistory& opened) {
  const std::string plugin_path =
      options.plugin_path.empty() ? DefaultPluginPath() : options.plugin_path;
  return LoadPlugin(plugin_path, opened.plugin);
}

std::string OpenHistory(const HostOptions& options, bool simulator, PluginAndHistory& opened) {
  opened.history_path =
      options.history_path.empty() ? DefaultHistoryPath(simulator) : options.history_path;
  if (!options.no_history) {
    std::string failure;
    opened.history = HistoryStore::Open(opened.history_path, failure);
    if (!opened.history && options.history_path.empty())
      failure += " \u2014 " + HistoryFolderHint(opened.history_path);
    if (!opened.history) return failure;
  }
  return {};
}

std::string HistoryFolderHint(const std::string& history_path) {
  return "create the folder " + std::filesystem::path(history_path).parent_path().string() +
         " writable by this user, or give --history FILE or --no-history";
}

std::string StartHttp(const HostOptions& options, const ListenAddress& listen, StatusBoard& board,
                      HttpServer& http, const HistoryHealthView* history,
                      const MqttHealthView* mqtt) {
  if (options.listen.empty()) return {};
  AddMetricsRoute(http, board, history, mqtt);
  AddWebRoutes(http, board);
  if (!options.web_config_file.empty())
    if (auto problem = http.Secure(options.web_config_file); !problem.empty())
      return "--web.config.file: " + problem;
  if (auto problem = http.Start(listen); !problem.empty())
    return "--listen " + options.listen + ": " + problem;
  return {};
}

}  // namespace k426b_host
