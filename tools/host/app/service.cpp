#include "tools/host/app/service.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <pthread.h>

#include <fmt/format.h>
#include <json/value.h>

#include "host/threshold_worker.h"
#include "tools/common/version.h"
#include "tools/host/app/site_wiring.h"
#include "tools/host/config/sites_file.h"
#include "tools/host/events/event_stream.h"
#include "tools/host/events/wire_log.h"
#include "tools/host/http/http_server.h"
#include "tools/host/http/metrics.h"
#include "tools/host/http/web.h"
#include "tools/host/line/serial_port.h"
#include "tools/host/line/tcp_line.h"
#include "tools/host/loop/site_loop.h"
#include "tools/host/site/poll_schedule.h"
#include "tools/host/site/site.h"
#include "tools/host/status/status_board.h"
#include "tools/host/store/history_store.h"
#include "tools/host/system/host_log.h"
#include "tools/host/system/human_output.h"
#include "tools/host/system/plugin_loader.h"
#include "tools/host/system/service_notify.h"

namespace k426b_host {

namespace {

// Set by the main thread on SIGTERM or SIGINT.
std::atomic<int> g_stop{0};

// Stop (SIGTERM, SIGINT) and reload (SIGHUP) are taken by the main thread, which sleeps in
// `WaitForSignal` until one comes. They are blocked before any thread starts, so every thread
// inherits the mask and none of them is interrupted by them.
sigset_t ServiceSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  return signals;
}

void InstallSignals() {
  const sigset_t signals = ServiceSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

// The stop or reload signal that came within `limit` (zero: however long it takes), else 0.
int WaitForSignal(std::chrono::microseconds limit) {
  const sigset_t signals = ServiceSignals();
  if (limit.count() == 0) return std::max(sigwaitinfo(&signals, nullptr), 0);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
  timespec timeout{};
  timeout.tv_sec = static_cast<std::time_t>(seconds.count());
  timeout.tv_nsec = static_cast<long>((limit - seconds).count() * 1000);
  return std::max(sigtimedwait(&signals, nullptr, &timeout), 0);  // 0: the time is up
}

int Fail(int status, const std::string& message) {
  fmt::print(stderr, "k426b-host: {}\n", message);
  return status;
}

std::string Problems(const std::string& path, const std::vector<std::string>& problems) {
  std::string text = "sites file " + path + ":";
  for (const std::string& problem : problems) text += "\n  " + problem;
  return text;
}

// One running site: its Site, served by one of the service's serial loops and stopped on its
// own. Its wire log is its own too: a log splits received bytes into frames and hands them to
// one site's trace, so a shared one would mix the sites' bytes and give every frame to the last
// site started.
struct RunningSite {
  SiteConfig config;
  std::unique_ptr<HumanOutput> out;
  std::unique_ptr<BoardAndTerminal> output;
  WireLog wire;
  std::unique_ptr<Site> site;
  SiteLoop* loop = nullptr;
};

bool SameSite(const SiteConfig& a, const SiteConfig& b) {
  return a.port == b.port && a.baud == b.baud && a.device == b.device;
}

class Service {
 public:
  Service(const HostOptions& options, const LoadedPlugin& plugin, HistoryStore* history,
          EventStream& stream, StatusBoard& board, std::FILE* human)
      : options_(options),
        plugin_(plugin),
        history_(history),
        stream_(stream),
        board_(board),
        human_(human) {}

  ~Service() { StopAll(); }

  // Starts the site on the least busy serial loop. A line that cannot be opened now is retried by the
  // site itself; only a device the plug-in refuses keeps the site from starting.
  std::string Add(const SiteConfig& config) {
    auto running = std::make_unique<RunningSite>();
    running->config = config;
    running->out = std::make_unique<HumanOutput>(human_, config.name);
    if (options_.trace) running->wire.EnableTrace(human_);
    SiteSettings settings;
    settings.name = config.name;
    settings.source = config.port;
    settings.baud = config.baud;
    settings.config = config.device;
    settings.max_cache_age = options_.max_cache_age;
    settings.summary = true;
    const std::size_t loop = LeastBusyLoop();
    settings.cycle_start_offset = CycleStartOffset(loop, kCycleStartSpread);
    running->output = std::make_unique<BoardAndTerminal>(board_, *running->out, config.name);
    SiteDependencies dependencies;
    dependencies.plugin = &plugin_;
    dependencies.events = MakeSiteEvents(settings, stream_, history_, *running->out);
    dependencies.history = history_;
    dependencies.output = running->output.get();
    dependencies.wire = &running->wire;
    dependencies.worker = worker_;
    running->site = std::make_unique<Site>(settings, MakeLine(config.port, config.baud),
                                           std::move(dependencies));
    if (auto problem = running->site->CreateDevice(); !problem.empty())
      return "site " + config.name + ": " + problem;
    running->site->OpenLine(/*keep_trying=*/true);
    running->site->Start();
    if (loop == loops_.size()) loops_.push_back(std::make_unique<SiteLoop>());
    running->loop = loops_[loop].get();
    running->loop->Add(running->site.get());
    sites_[config.name] = std::move(running);
    return {};
  }

  void Remove(const std::string& name) {
    const auto found = sites_.find(name);
    if (found == sites_.end()) return;
    Stop(*found->second);
    board_.Remove(name);
    sites_.erase(found);
  }

  // What a reload did, by site name.
  struct Applied {
    std::vector<std::string> started, stopped, kept;
  };

  // Applies a re-read sites file: sites no longer listed stop, new ones start, changed ones
  // restart; the others run on untouched. A changed site is both stopped and started.
  Applied Apply(const std::vector<SiteConfig>& wanted) {
    Applied applied;
    std::map<std::string, const SiteConfig*> by_name;
    for (const SiteConfig& config : wanted) by_name[config.name] = &config;
    for (const auto& [name, running] : sites_) {
      const auto found = by_name.find(name);
      if (found == by_name.end() || !SameSite(running->config, *found->second))
        applied.stopped.push_back(name);
      else
        applied.kept.push_back(name);
    }
    for (const std::string& name : applied.stopped) {
      HostLog().info("[{}] stopped: {}", name,
                     by_name.count(name) ? "changed in the sites file" : "no longer listed");
      Remove(name);
    }
    for (const SiteConfig& config : wanted) {
      if (sites_.count(config.name)) continue;
      if (auto problem = Add(config); !problem.empty()) {
        HostLog().error("{}", problem);
      } else {
        HostLog().info("[{}] started on {}", config.name, config.port);
        applied.started.push_back(config.name);
      }
    }
    return applied;
  }

  std::size_t size() const { return sites_.size(); }

  void StopAll() {
    for (auto& [name, running] : sites_) Stop(*running);
    sites_.clear();
    loops_.clear();
  }

 private:
  static void Stop(RunningSite& running) {
    running.loop->Remove(running.site.get());
    running.site->Finish();
  }

  // The index of the loop a new site joins: the least busy of those with fewer than
  // kSitesPerLoop sites, else loops_.size() for a loop still to be started.
  std::size_t LeastBusyLoop() const {
    std::size_t least = 0;
    for (std::size_t index = 1; index < loops_.size(); ++index)
      if (loops_[index]->size() < loops_[least]->size()) least = index;
    if (!loops_.empty() && loops_[least]->size() < kSitesPerLoop) return least;
    return loops_.size();
  }

  // Sites that share a loop wait for each other's work after a reply or a cycle (the units'
  // rules, the history commit), and sites on different loops wake their threads apart. At a
  // thousand sites on two cores, 128 a loop kept every cycle closest to its wire time (64 and
  // 256 a loop left more cycles late: bench/README.md).
  static constexpr std::size_t kSitesPerLoop = 128;
  // Every site's quiet time ends at the start of a second, so sites whose cycles take as long
  // would all send their queries in the same millisecond, and their replies would all need the
  // cores at once. The loops' sites start their cycles at different points of the first 100 ms
  // of the second (CycleStartOffset): a loop's sites keep together, so that one wake-up serves
  // them, and the loops do not compete for the cores at the same moment. Kept short: a cycle
  // that ends past the next second starts its quiet time a second later.
  static constexpr std::chrono::microseconds kCycleStartSpread{100'000};

  const HostOptions& options_;
  const LoadedPlugin& plugin_;
  HistoryStore* history_;
  EventStream& stream_;
  StatusBoard& board_;
  std::FILE* human_;
  // Every site's threshold work on one thread, rather than a thread per site.
  const std::shared_ptr<ThresholdWorker> worker_ = std::make_shared<ThresholdWorker>();
  std::vector<std::unique_ptr<SiteLoop>> loops_;
  std::map<std::string, std::unique_ptr<RunningSite>> sites_;
};

Json::Value Names(const std::vector<std::string>& names) {
  Json::Value array(Json::arrayValue);
  for (const std::string& name : names) array.append(name);
  return array;
}

// SIGHUP: re-reads the sites file and applies it, or keeps every running site when the file is
// unusable; either way the log and the event stream (`reload`) say what happened.
void Reload(const std::string& path, Service& service, EventStream& stream) {
  Json::Value event(Json::objectValue);
  event["config"] = path;
  SitesFile reread = LoadSitesFile(path);
  event["applied"] = reread.problems.empty();
  if (!reread.problems.empty()) {
    HostLog().error("reload refused, the running sites are kept: {}",
                    Problems(path, reread.problems));
    event["problems"] = Names(reread.problems);
  } else {
    const Service::Applied applied = service.Apply(reread.sites);
    HostLog().info("reloaded {}: {} sites ({} started, {} stopped, {} kept)", path,
                   service.size(), applied.started.size(), applied.stopped.size(),
                   applied.kept.size());
    event["started"] = Names(applied.started);
    event["stopped"] = Names(applied.stopped);
    event["kept"] = Names(applied.kept);
  }
  stream.Write("reload", event);
}

}  // namespace

std::unique_ptr<Line> MakeLine(const std::string& port, int baud) {
  if (IsTcpAddress(port)) return std::make_unique<TcpLine>(port);
  return std::make_unique<SerialPort>(port, baud);
}

int RunService(const ParsedOptions& parsed) {
  // From the start, before any thread, so that a SIGHUP or SIGTERM arriving while the sites
  // start up is taken once they run, instead of ending the process by the signal's default action.
  InstallSignals();
  const HostOptions& options = parsed.options;
  if (auto problem = SetUpHostLog(options.verbosity, options.log_file); !problem.empty())
    return Fail(1, problem);
  // A recording is one line's bytes, replayed as one power system: several lines would mix.
  if (!options.record_path.empty())
    return Fail(2, "--record records one line: use it with --config and --port, not --sites");
  SitesFile sites = LoadSitesFile(options.sites_path);
  if (!sites.problems.empty()) return Fail(2, Problems(options.sites_path, sites.problems));
  ListenAddress listen;
  if (!options.listen.empty()) {
    if (auto problem = ParseListenAddress(options.listen, listen); !problem.empty())
      return Fail(2, "--listen: " + problem);
  }

  EventStream stream;
  std::FILE* human = stdout;
  if (!options.events_path.empty()) {
    if (options.events_path == "-") human = stderr;
    if (auto problem = stream.Open(options.events_path); !problem.empty()) return Fail(1, problem);
  }
  Json::Value start(Json::objectValue);
  start["version"] = K426B_VERSION_STRING;
  Json::Value arguments(Json::arrayValue);
  for (const std::string& argument : parsed.arguments) arguments.append(argument);
  start["options"] = arguments;
  start["config"] = options.sites_path;
  // Every other event names its one site; the start event names them all.
  Json::Value names(Json::arrayValue);
  for (const SiteConfig& config : sites.sites) names.append(config.name);
  start["sites"] = names;
  stream.Write("start", start);

  LoadedPlugin plugin;
  const std::string plugin_path =
      options.plugin_path.empty() ? DefaultPluginPath() : options.plugin_path;
  if (auto problem = LoadPlugin(plugin_path, plugin); !problem.empty()) return Fail(1, problem);
  std::unique_ptr<HistoryStore> history;
  const std::string history_path =
      options.history_path.empty() ? DefaultHistoryPath() : options.history_path;
  if (!options.no_history) {
    std::string failure;
    history = HistoryStore::Open(history_path, failure);
    if (!history) return Fail(1, failure);
  }

  StatusBoard board;
  HttpServer http;
  if (!options.listen.empty()) {
    AddMetricsRoute(http, board);
    AddWebRoutes(http, board);
    if (auto problem = http.Start(listen); !problem.empty())
      return Fail(1, "--listen " + options.listen + ": " + problem);
  }

  ServiceNotify notify;
  {
    Service service(options, plugin, history.get(), stream, board, human);
    for (const SiteConfig& config : sites.sites) {
      if (auto problem = service.Add(config); !problem.empty()) {
        service.StopAll();
        http.Stop();
        return Fail(2, problem);
      }
    }
    const std::string endpoint = options.listen.empty()
                                     ? std::string("off")
                                     : fmt::format("http://{}:{}/", listen.host, http.port());
    const auto status = [&] {
      return fmt::format("{} site{}; endpoint {}", service.size(),
                         service.size() == 1 ? "" : "s", endpoint);
    };
    fmt::print(human, "k426b-host {}: {} from {}; history {}\n", K426B_VERSION_STRING, status(),
               options.sites_path, history ? history_path : std::string("off"));
    std::fflush(human);
    notify.Ready(status());

    // The main thread only watches: it sleeps until a stop or reload signal comes or the
    // watchdog is due; `systemctl status` shows the sites and endpoint, renewed on every reload.
    while (g_stop == 0) {
      switch (WaitForSignal(notify.Watchdog())) {
        case SIGHUP:
          notify.Reloading();
          Reload(options.sites_path, service, stream);
          notify.Ready(status());
          break;
        case SIGINT:
        case SIGTERM:
          g_stop = 1;
          break;
        default:  // the watchdog is due
          break;
      }
    }
    notify.Stopping();
    service.StopAll();
  }
  http.Stop();
  return 0;
}

}  // namespace k426b_host
