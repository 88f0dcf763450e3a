#include "tools/host/app/bench_host.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include <fmt/format.h>
#include <json/writer.h>

#include "tools/common/json_text.h"
#include "tools/common/stop_signals.h"
#include "tools/common/version.h"
#include "tools/host/app/site_wiring.h"
#include "tools/host/app/start_up.h"
#include "tools/host/config/config_check.h"
#include "tools/host/events/event_stream.h"
#include "tools/host/events/wire_log.h"
#include "tools/host/http/http_server.h"
#include "tools/host/http/metrics.h"
#include "tools/host/http/web.h"
#include "tools/host/line/make_line.h"
#include "tools/host/line/simulated_line.h"
#include "tools/host/loop/site_loop.h"
#include "tools/host/site/device_session.h"
#include "tools/host/site/site.h"
#include "tools/host/status/status_board.h"
#include "tools/host/store/history_store.h"
#include "tools/host/system/host_log.h"
#include "tools/host/system/human_output.h"
#include "tools/host/system/plugin_loader.h"

namespace k426b_host {

std::string ExampleConfigPath() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    for (const char* relative : {"../examples", "../../examples", "../share/k426b/examples"}) {
      const auto candidate = self.parent_path() / relative / "k426b.json";
      if (std::filesystem::exists(candidate, error)) return candidate.lexically_normal().string();
    }
  }
#ifdef K426B_EXAMPLES_DIR
  return std::string(K426B_EXAMPLES_DIR) + "/k426b.json";
#else
  return "examples/k426b.json";
#endif
}

int RunBenchHost(const ParsedOptions& parsed) {
  // Before any thread, which inherits the blocked stop signals (StopSignals).
  StopSignals signals;
  const HostOptions& options = parsed.options;
  ListenAddress listen;
  if (auto problem = CheckListen(options, listen); !problem.empty())
    return Fail(kBadUsage, problem);
  const std::string config_path =
      options.config_path.empty() ? ExampleConfigPath() : options.config_path;
  Json::Value config;
  if (auto problem = LoadConfigFile(config_path, config); !problem.empty())
    return Fail(kBadUsage, problem);
  if (auto problem = CheckConfig(config); !problem.empty())
    return Fail(kBadUsage, "configuration " + config_path + ":\n  " + problem);
  if (options.simulate) {
    if (auto problem = SimulatedLine::CheckScenario(options.scenario_path); !problem.empty())
      return Fail(kBadUsage, problem);
  }
  // Standard output belongs to the event stream or the JSON document when asked: they keep it
  // to themselves, and everything else written to it (the human output, the plug-in's own
  // diagnostic lines) goes to standard error.
  std::FILE* machine_output = stdout;
  std::FILE* human = stdout;
  if (options.events_path == "-" || options.json) {
    std::fflush(stdout);
    const int kept = ::dup(STDOUT_FILENO);
    machine_output = kept >= 0 ? ::fdopen(kept, "w") : nullptr;
    if (machine_output == nullptr) return Fail(kRunFailed, "cannot keep standard output apart");
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    human = stderr;
  }
  // The plug-in reads the configuration before the log file, events file, record file, history
  // or line is opened: a configuration it refuses is a usage error that leaves nothing behind.
  PluginAndHistory opened;
  if (auto problem = LoadHostPlugin(options, opened); !problem.empty())
    return Fail(kRunFailed, problem);
  if (auto problem = CheckDeviceWithPlugin(opened.plugin, config); !problem.empty())
    return Fail(kBadUsage, "configuration " + config_path + ": " + problem);
  if (auto problem = SetUpHostLog(options.verbosity, options.log_file); !problem.empty())
    return Fail(kRunFailed, problem);

  EventStream stream;
  if (!options.events_path.empty()) {
    if (auto problem = stream.Open(options.events_path, machine_output); !problem.empty())
      return Fail(kRunFailed, problem);
  }
  stream.Write("start", StartEvent(parsed, config_path));
  WireLog wire;
  if (options.trace) wire.EnableTrace(human);
  if (!options.record_path.empty()) {
    if (auto problem = wire.OpenRecord(options.record_path); !problem.empty())
      return Fail(kRunFailed, problem);
  }

  if (auto problem = OpenHistory(options, options.simulate, opened); !problem.empty())
    return Fail(kRunFailed, problem);
  const LoadedPlugin& plugin = opened.plugin;
  HistoryStore* history = opened.history.get();
  const std::string& history_path = opened.history_path;

  std::unique_ptr<SimulatedLine> simulator;
  std::string port_path = options.port;
  if (options.simulate) {
    std::string failure;
    simulator = SimulatedLine::Start(options.scenario_path, failure);
    if (!simulator) return Fail(kBadUsage, failure);
    port_path = simulator->path();
  }

  SiteSettings settings;
  settings.source = options.simulate ? "simulator" : options.port;
  settings.baud = options.baud;
  settings.config = config;
  settings.max_cache_age = options.max_cache_age;
  settings.cycles = options.once ? std::optional<unsigned>(1) : options.cycles;
  StatusBoard board;
  HumanOutput out(human, settings.name);
  BoardAndTerminal output(board, out, settings.name);
  SiteDependencies dependencies;
  dependencies.plugin = &plugin;
  dependencies.stream = &stream;
  dependencies.history = history;
  dependencies.output = &output;
  dependencies.wire = &wire;
  AddSiteEvents(dependencies, settings, out);
  Site site(settings, MakeLine(port_path, options.baud), std::move(dependencies));
  if (auto problem = site.CreateDevice(); !problem.empty())
    return Fail(kBadUsage, "configuration " + config_path + ": " + problem);
  if (auto problem = site.OpenLine(); !problem.empty()) return Fail(kRunFailed, problem);

  out.Print(fmt::format(
      "k426b-host {}: plug-in {}\n  configuration {}\n  line {}{}\n  history {}",
      K426B_VERSION_STRING, plugin.path, config_path, port_path,
      options.simulate ? " (built-in simulator)" : fmt::format(" at {} 8N1", options.baud),
      history ? history_path : std::string("off")));
  site.Start();

  HttpServer http;
  if (auto problem = StartHttp(options, listen, board, http); !problem.empty())
    return Fail(kRunFailed, problem);

  // The site's serial loop runs on a thread of its own; this thread waits for a stop signal,
  // the end of --once's time or the last of the cycles asked for, whichever comes first.
  {
    std::atomic<bool> done{false};
    SiteLoop loop;
    loop.Add(&site, [&] {
      done = true;
      signals.Wake();
    });
    const auto deadline = options.once ? std::chrono::steady_clock::now() + options.deadline
                                       : std::chrono::steady_clock::time_point::max();
    while (!done && signals.Wait(deadline) != StopSignals::Taken::kStop &&
           std::chrono::steady_clock::now() < deadline) {
    }
    loop.Remove(&site);
  }
  site.Finish();

  const unsigned completed = site.completed_cycles();
  out.Print(fmt::format(
      "k426b-host: {} cycle{} completed{}", completed, completed == 1 ? "" : "s",
      history ? fmt::format(", {} history rows in {}", history->RowCount(), history_path)
              : std::string()));
  if (simulator) simulator->Stop();
  if (site.history_failures() != 0) return kRunFailed;
  if (options.once && completed == 0) {
    const LineStatus line = site.line_status();
    return Fail(kRunFailed, fmt::format("no cycle completed within {} s (line {}{}{})",
                                        options.deadline.count(), LineConditionText(line.state),
                                        line.reason.empty() ? "" : ": " + line.reason,
                                        line.problem.empty() ? "" : "; " + line.problem));
  }
  if (options.json) {
    const auto status = board.Site(settings.name);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    builder["emitUTF8"] = true;
    fmt::print(machine_output, "{}\n",
               WithValidUtf8(Json::writeString(
                   builder, DescribedSiteJson(*status, true, DescribeRectifierUnit))));
    std::fflush(machine_output);
  }
  return 0;
}

}  // namespace k426b_host
