#include "tools/host/app/service.h"

#include <chrono>
#include <cstdio>
#include <memory>
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
#include "tools/host/site/device_session.h"
#include "tools/host/status/status_board.h"
#include "tools/host/system/host_log.h"
#include "tools/host/system/service_notify.h"

namespace k426b_host {

namespace {

// When the watchdog is next due: a deadline for the main thread's wait.
std::chrono::steady_clock::time_point WatchdogDue(ServiceNotify& notify) {
  const std::chrono::microseconds due = notify.Watchdog();
  if (due.count() == 0) return std::chrono::steady_clock::time_point::max();
  return std::chrono::steady_clock::now() + due;
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

  EventStream stream;
  std::FILE* human = stdout;
  if (!options.events_path.empty()) {
    if (options.events_path == "-") human = stderr;
    if (auto problem = stream.Open(options.events_path); !problem.empty())
      return Fail(kRunFailed, problem);
  }
  Json::Value start = StartEvent(parsed, options.sites_path);
  // Every other event names its one site; the start event names them all.
  Json::Value names(Json::arrayValue);
  for (const SiteConfig& config : sites.sites) names.append(config.name);
  start["sites"] = names;
  stream.Write("start", start);

  if (auto problem = OpenHistory(options, /*simulator=*/false, opened); !problem.empty())
    return Fail(kRunFailed, problem);
  StatusBoard board;
  HttpServer http;
  if (auto problem = StartHttp(options, listen, board, http); !problem.empty())
    return Fail(kRunFailed, problem);

  ServiceNotify notify;
  {
    SiteSet site_set(options, opened.plugin, opened.history.get(), stream, board, human);
    for (const SiteConfig& config : sites.sites) {
      if (auto problem = site_set.Add(config); !problem.empty()) {
        site_set.StopAll();
        http.Stop();
        return Fail(kBadUsage, problem);
      }
    }
    const std::string endpoint = options.listen.empty()
                                     ? std::string("off")
                                     : fmt::format("http://{}:{}/", listen.host, http.port());
    const auto status = [&] {
      return fmt::format("{} site{}; endpoint {}", site_set.size(), site_set.size() == 1 ? "" : "s",
                         endpoint);
    };
    fmt::print(human, "k426b-host {}: {} from {}; history {}\n", K426B_VERSION_STRING, status(),
               options.sites_path, opened.history ? opened.history_path : std::string("off"));
    std::fflush(human);
    notify.Ready(status());

    // The main thread only watches: it sleeps until a stop or reload signal comes or the
    // watchdog is due, and feeds the watchdog each time it wakes; `systemctl status` shows the
    // sites and endpoint, renewed on every reload.
    bool stop = false;
    while (!stop) {
      switch (signals.Wait(WatchdogDue(notify))) {
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
  return 0;
}

}  // namespace k426b_host
