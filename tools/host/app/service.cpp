#include "tools/host/app/service.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include <fmt/format.h>
#include <json/value.h>

#include "tools/common/stop_signals.h"
#include "tools/common/version.h"
#include "tools/host/app/reload.h"
#include "tools/host/app/site_set.h"
#include "tools/host/app/start_up.h"
#include "tools/host/config/sites_file.h"
#include "tools/host/events/event_stream.h"
#include "tools/host/http/http_server.h"
#include "tools/host/mqtt/mqtt_output.h"
#include "tools/host/site/device_session.h"
#include "tools/host/status/status_board.h"
#include "tools/host/store/history_writer.h"
#include "tools/host/system/host_log.h"
#include "tools/host/system/plugin_output.h"
#include "tools/host/system/service_notify.h"

namespace k426b_host {

namespace {

// When the watchdog is next due: a deadline for the main thread's wait. It is fed only while
// every serial loop comes round; a loop that stops is logged once, and again once it runs.
std::chrono::steady_clock::time_point WatchdogDue(ServiceNotify& notify, const SiteSet& sites,
                                                  bool& stalled) {
  const std::chrono::microseconds due = notify.Watchdog([&] {
    const std::string stall = sites.StalledLoop(notify.watchdog_interval());
    if (!stall.empty() && !stalled)
      HostLog().error("{}: the watchdog is not fed", stall);
    else if (stall.empty() && stalled)
      HostLog().info("every serial loop comes round again: the watchdog is fed");
    stalled = !stall.empty();
    return !stalled;
  });
  if (due.count() == 0) return std::chrono::steady_clock::time_point::max();
  return std::chrono::steady_clock::now() + due;
}

// The broker settings of the command line, else of the sites file's `mqtt`; none without either.
std::string MqttFromOptions(const HostOptions& options, const std::string& file_url,
                            std::optional<MqttSettings>& mqtt) {
  const std::string url = options.mqtt_url.empty() ? file_url : options.mqtt_url;
  if (url.empty()) return {};
  MqttSettings settings;
  if (auto problem = ParseMqttUrl(url, settings); !problem.empty()) return problem;
  if (!options.mqtt_password_file.empty()) {
    if (auto problem = ReadPasswordFile(options.mqtt_password_file, settings.password);
        !problem.empty())
      return problem;
  }
  settings.client_id = options.mqtt_client_id;
  settings.user = options.mqtt_user;
  settings.ca_file = options.mqtt_ca_file;
  settings.prefix = TopicLevel(options.mqtt_prefix);
  settings.discovery = options.mqtt_discovery;
  settings.discovery_prefix = TopicLevel(options.mqtt_discovery_prefix);
  settings.manufacturer = options.mqtt_manufacturer;
  settings.alarm_queue = options.mqtt_alarm_queue;
  mqtt = settings;
  return {};
}

}  // namespace

int RunService(const ParsedOptions& parsed) {
  // From the start, before any thread, so that a SIGHUP or SIGTERM arriving while the sites
  // start up is taken once they run, instead of ending the process by the signal's default action.
  StopSignals signals(/*reload=*/true);
  const HostOptions& options = parsed.options;
  // A recording is one line's bytes, replayed as one power system: several lines would mix.
  if (!options.record_path.empty())
    return Fail(kBadUsage,
                "--record records one line: use it with --config and --port, not --sites");
  ListenAddress listen;
  if (auto problem = CheckListen(options, listen); !problem.empty())
    return Fail(kBadUsage, problem);
  SitesFile sites = LoadSitesFile(options.sites_path);
  if (!sites.problems.empty())
    return Fail(kBadUsage, SitesFileProblems(options.sites_path, sites.problems));
  std::optional<MqttSettings> mqtt;
  if (auto problem = MqttFromOptions(options, sites.mqtt_url, mqtt); !problem.empty())
    return Fail(kBadUsage, problem);
  if (auto problem = FileLimitProblem(sites.sites.size()); !problem.empty())
    return Fail(kBadUsage, "sites file " + options.sites_path + ": " + problem);
  // Each site's device configuration is read by the plug-in before the log file, events file
  // or history is opened: one it refuses is a usage error that leaves nothing behind.
  PluginAndHistory opened;
  if (auto problem = LoadHostPlugin(options, opened); !problem.empty())
    return Fail(kRunFailed, problem);
  for (const SiteConfig& config : sites.sites) {
    if (auto problem = CheckDeviceWithPlugin(opened.plugin, config.device); !problem.empty())
      return Fail(kBadUsage, "site " + config.name + ": " + problem);
  }
  if (auto problem = SetUpHostLog(options.verbosity, options.log_file); !problem.empty())
    return Fail(kRunFailed, problem);

  // The plug-in's diagnostic lines to the log; the host's own output to standard output.
  PluginOutputToLog plugin_output(options.verbosity > 0);
  EventStream stream;
  std::FILE* human = plugin_output.terminal();
  if (!options.events_path.empty()) {
    if (options.events_path == "-") human = stderr;
    if (auto problem = stream.Open(options.events_path, plugin_output.terminal()); !problem.empty())
      return Fail(kRunFailed, problem);
  }
  Json::Value start = StartEvent(parsed, options.sites_path);
  // Every other event names its one site; the start event names them all.
  Json::Value names(Json::arrayValue);
  for (const SiteConfig& config : sites.sites) names.append(config.name);
  start["sites"] = names;
  stream.Write("start", start);

  // The history never stops the service: one that cannot be used now is tried again while
  // every site polls.
  std::unique_ptr<HistoryWriter> history;
  const std::string history_path =
      options.history_path.empty() ? DefaultHistoryPath() : options.history_path;
  if (!options.no_history) {
    HistoryWriterSettings settings;
    settings.path = history_path;
    if (options.history_path.empty()) settings.hint = HistoryFolderHint(history_path);
    settings.keep = options.history_keep.value_or(sites.history_keep.value_or(settings.keep));
    settings.interval = options.history_interval;
    history = std::make_unique<HistoryWriter>(settings);
  }
  StatusBoard board;
  // The broker output only reads the board; a broker that is away delays nothing.
  std::unique_ptr<MqttOutput> broker;
  if (mqtt) broker = std::make_unique<MqttOutput>(*mqtt, board);
  HttpServer http;
  if (auto problem = StartHttp(options, listen, board, http, history.get(), broker.get());
      !problem.empty())
    return Fail(kRunFailed, problem);

  ServiceNotify notify;
  {
    SiteSet site_set(options, opened.plugin, history.get(), stream, board, human);
    // A loop comes round at least twice a watchdog interval, also with nothing to do.
    if (notify.watchdog_interval().count() > 0)
      site_set.WakeLoopsEvery(notify.watchdog_interval() / 2);
    for (const SiteConfig& config : sites.sites) {
      if (auto problem = site_set.Add(config); !problem.empty()) {
        site_set.StopAll();
        http.Stop();
        return Fail(kBadUsage, problem);
      }
    }
    const std::string endpoint =
        options.listen.empty()
            ? std::string("off")
            : fmt::format("{}://{}:{}/", http.tls() ? "https" : "http", listen.host, http.port());
    const auto status = [&] {
      return fmt::format("{} site{}; endpoint {}", site_set.size(), site_set.size() == 1 ? "" : "s",
                         endpoint);
    };
    fmt::print(human, "k426b-host {}: {} from {}; history {}\n", K426B_VERSION_STRING, status(),
               options.sites_path, history ? history_path : std::string("off"));
    std::fflush(human);
    notify.Ready(status());

    // The main thread only watches: it sleeps until a stop or reload signal comes or the
    // watchdog is due, and feeds the watchdog while every serial loop comes round; `systemctl
    // status` shows the sites and endpoint, renewed on every reload.
    bool stop = false;
    bool stalled = false;
    while (!stop) {
      switch (signals.Wait(WatchdogDue(notify, site_set, stalled))) {
        case StopSignals::Taken::kReload:
          notify.Reloading();
          Reload(options.sites_path, site_set, stream);
          notify.Ready(status());
          break;
        case StopSignals::Taken::kStop: stop = true; break;
        case StopSignals::Taken::kNone:  // the watchdog is due
          break;
      }
    }
    notify.Stopping();
    site_set.StopAll();
  }
  http.Stop();
  broker.reset();  // after the sites, so that their last state is published
  return 0;
}

}  // namespace k426b_host
