#include "tools/host/app/bench_host.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include <fmt/format.h>
#include <json/writer.h>

#include "tools/common/version.h"
#include "tools/host/app/service.h"
#include "tools/host/app/site_wiring.h"
#include "tools/host/config/config_check.h"
#include "tools/host/events/event_stream.h"
#include "tools/host/events/wire_log.h"
#include "tools/host/http/http_server.h"
#include "tools/host/http/metrics.h"
#include "tools/host/http/web.h"
#include "tools/host/line/simulated_line.h"
#include "tools/host/site/site.h"
#include "tools/host/status/status_board.h"
#include "tools/host/store/history_store.h"
#include "tools/host/system/host_log.h"
#include "tools/host/system/plugin_loader.h"

namespace k426b_host {

namespace {

volatile std::sig_atomic_t g_stop_requested = 0;

void RequestStop(int) { g_stop_requested = 1; }

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked poll returns at once
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

int Fail(int status, const std::string& message) {
  fmt::print(stderr, "k426b-host: {}\n", message);
  return status;
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

}  // namespace

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
  const HostOptions& options = parsed.options;
  if (auto problem = SetUpHostLog(options.verbosity, options.log_file); !problem.empty())
    return Fail(1, problem);
  const std::string config_path =
      options.config_path.empty() ? ExampleConfigPath() : options.config_path;
  Json::Value config;
  if (auto problem = LoadConfigFile(config_path, config); !problem.empty()) return Fail(2, problem);
  if (auto problem = CheckConfig(config); !problem.empty())
    return Fail(2, "configuration " + config_path + ":\n  " + problem);

  // Standard output belongs to the event stream or the JSON document when asked: they keep it
  // to themselves, and everything else written to it (the human output, the plug-in's own
  // diagnostic lines) goes to standard error.
  std::FILE* machine_output = stdout;
  std::FILE* human = stdout;
  if (options.events_path == "-" || options.json) {
    std::fflush(stdout);
    const int kept = ::dup(STDOUT_FILENO);
    machine_output = kept >= 0 ? ::fdopen(kept, "w") : nullptr;
    if (machine_output == nullptr) return Fail(1, "cannot keep standard output apart");
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    human = stderr;
  }
  EventStream stream;
  if (!options.events_path.empty()) {
    if (auto problem = stream.Open(options.events_path, machine_output); !problem.empty())
      return Fail(1, problem);
  }
  stream.Write("start", StartEvent(parsed, config_path));
  WireLog wire;
  if (options.trace) wire.EnableTrace(human);
  if (!options.record_path.empty()) {
    if (auto problem = wire.OpenRecord(options.record_path); !problem.empty())
      return Fail(1, problem);
  }

  LoadedPlugin plugin;
  const std::string plugin_path =
      options.plugin_path.empty() ? DefaultPluginPath() : options.plugin_path;
  if (auto problem = LoadPlugin(plugin_path, plugin); !problem.empty()) return Fail(1, problem);

  std::unique_ptr<HistoryStore> history;
  const std::string history_path =
      options.history_path.empty() ? DefaultHistoryPath(options.simulate) : options.history_path;
  std::string failure;
  if (!options.no_history) {
    history = HistoryStore::Open(history_path, failure);
    if (!history) return Fail(1, failure);
  }

  std::unique_ptr<SimulatedLine> simulator;
  std::string port_path = options.port;
  if (options.simulate) {
    simulator = SimulatedLine::Start(options.scenario_path, failure);
    if (!simulator) return Fail(2, failure);
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
  dependencies.events = MakeSiteEvents(settings, stream, history.get(), out);
  dependencies.history = history.get();
  dependencies.output = &output;
  dependencies.wire = &wire;
  Site site(settings, MakeLine(port_path, options.baud), std::move(dependencies));
  if (auto problem = site.CreateDevice(); !problem.empty())
    return Fail(2, "configuration " + config_path + ": " + problem);
  if (auto problem = site.OpenLine(); !problem.empty()) return Fail(1, problem);

  out.Print(fmt::format(
      "k426b-host {}: plug-in {}\n  configuration {}\n  line {}{}\n  history {}", K426B_VERSION_STRING,
      plugin.path, config_path, port_path,
      options.simulate ? " (built-in simulator)" : fmt::format(" at {} 8N1", options.baud),
      history ? history_path : std::string("off")));
  site.Start();

  HttpServer http;
  if (!options.listen.empty()) {
    ListenAddress listen;
    if (auto problem = ParseListenAddress(options.listen, listen); !problem.empty())
      return Fail(2, "--listen: " + problem);
    AddMetricsRoute(http, board);
    AddWebRoutes(http, board);
    if (auto problem = http.Start(listen); !problem.empty())
      return Fail(1, "--listen " + options.listen + ": " + problem);
  }

  InstallSignalHandlers();
  const auto deadline = std::chrono::steady_clock::now() + options.deadline;
  site.Run([&] {
    return g_stop_requested != 0 || (options.once && std::chrono::steady_clock::now() >= deadline);
  });
  site.Finish();

  const unsigned completed = site.completed_cycles();
  out.Print(fmt::format("k426b-host: {} cycle{} completed{}", completed, completed == 1 ? "" : "s",
                        history ? fmt::format(", {} history rows in {}", history->RowCount(),
                                              history_path)
                                : std::string()));
  if (simulator) simulator->Stop();
  if (site.history_failures() != 0) return 1;
  if (options.once && completed == 0) {
    const LineStatus line = site.line_status();
    return Fail(1, fmt::format("no cycle completed within {} s (line {}{}{})",
                               options.deadline.count(), LineConditionText(line.state),
                               line.reason.empty() ? "" : ": " + line.reason,
                               line.problem.empty() ? "" : "; " + line.problem));
  }
  if (options.json) {
    const auto status = board.Site(settings.name);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    builder["emitUTF8"] = true;
    fmt::print(machine_output, "{}\n", Json::writeString(builder, DescribedSiteJson(*status, true,
                                                                          DescribeRectifierUnit)));
    std::fflush(machine_output);
  }
  return 0;
}

}  // namespace k426b_host
