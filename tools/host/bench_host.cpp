#include "tools/host/bench_host.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "host/controller.h"
#include "host/device.h"
#include "tools/host/bench_events.h"
#include "tools/host/config_check.h"
#include "tools/host/event_stream.h"
#include "tools/host/history_store.h"
#include "tools/host/plugin_loader.h"
#include "tools/host/poll_schedule.h"
#include "tools/host/serial_port.h"
#include "tools/host/simulated_line.h"
#include "tools/host/unit_values.h"
#include "tools/host/wire_log.h"

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

using Clock = std::chrono::steady_clock;

// Reopens a lost serial line: 250 ms after the loss, then doubling up to 5 s between tries.
class PortKeeper {
 public:
  explicit PortKeeper(SerialPort& port) : port_(port) {}

  void Lost(const char* why) {
    port_.Close();
    fmt::print(stderr, "k426b-host: lost {} ({}); reopening\n", port_.path(), why);
    delay_ = std::chrono::milliseconds(250);
    next_try_ = Clock::now() + delay_;
  }

  Clock::time_point next_try() const { return next_try_; }

  // True when the port is open (again).
  bool EnsureOpen() {
    if (port_.is_open()) return true;
    if (Clock::now() < next_try_) return false;
    const std::string failure = port_.Open();
    if (failure.empty()) {
      fmt::print(stderr, "k426b-host: reopened {}\n", port_.path());
      return true;
    }
    delay_ = std::min(delay_ * 2, std::chrono::milliseconds(5000));
    next_try_ = Clock::now() + delay_;
    return false;
  }

 private:
  SerialPort& port_;
  std::chrono::milliseconds delay_{250};
  Clock::time_point next_try_{};
};

class BenchRun {
 public:
  BenchRun(const HostOptions& options, BenchEvents& events, EventStream& stream,
           std::shared_ptr<ZVKController> controller, std::shared_ptr<ZVKSPDevice> composite)
      : options_(options),
        events_(events),
        stream_(stream),
        controller_(std::move(controller)),
        composite_(std::move(composite)) {
    for (auto& child : composite_->GetAllChildVDevices())
      if (child) units_.push_back(child);
  }

  void LoadCaches(HistoryStore& history) {
    for (const auto& unit : units_) {
      const int record_type = RecordTypeOf(unit->DeviceType());
      const auto image = history.Newest(unit->DataId(), record_type);
      if (!image) continue;
      const bool accepted =
          unit->LoadFromCache(image->data(), static_cast<int>(image->size()));
      events_.CacheLoaded(unit->DataId(), record_type, *image, accepted);
      Print(fmt::format("cache {} {} ({} bytes): {}", unit->DataId(), unit->DeviceType(),
                        image->size(), accepted ? "loaded" : "refused"));
    }
  }

  // Values of every unit, to the stream and as the human table.
  void ReportValues(const std::string& title) {
    std::string table = title + "\n";
    const std::string model_alarm = events_.ModelAlarm();
    if (!model_alarm.empty()) table += fmt::format("  !!! MODEL ALARM: {}\n", model_alarm);
    for (const auto& unit : units_) {
      const int record_type = RecordTypeOf(unit->DeviceType());
      const unsigned screens =
          record_type == 5094 ? ScreenCount(events_.LatestSnapshot(unit->DataId(), 5094)) : 0;
      const auto keys = ValueKeys(unit->DeviceType(), screens);
      const auto values = ReadUnitValues(*unit, keys);
      Json::Value members(Json::objectValue);
      members["data_id"] = unit->DataId();
      members["device_type"] = unit->DeviceType();
      members["values"] = ValuesJson(values, !keys.empty());
      stream_.Write("values", members);
      table += fmt::format("  {:>5} {:<9} {}\n", unit->DataId(), unit->DeviceType(),
                           ValuesLine(values));
    }
    for (const AlarmChange& change : events_.TakeAlarmChanges()) {
      table += fmt::format("  alarm {:<7} {:>5} level {} {} {} {}: {}\n",
                           change.raised ? "raised" : "cleared", change.data_id, change.rule.level,
                           change.rule.rule_id, change.rule.code, change.rule.name,
                           change.rule.description);
    }
    table.pop_back();
    Print(table);
  }

  // The serial thread: RefreshStatus, wait for bytes, hand them to the codec, report cycles.
  void Loop(SerialPort& port, WireLog& wire) {
    PortKeeper keeper(port);
    std::vector<unsigned char> buffer(4096);
    unsigned reported = 0;
    while (!g_stop_requested) {
      if (!keeper.EnsureOpen()) {
        SleepUntil(keeper.next_try());
        continue;
      }
      const LoopClocks before = LoopClocks::Now();
      composite_->RefreshStatus();
      std::size_t received = 0;
      const int wait_ms = RefreshWaitMs(*composite_, before);  // until bytes come or it is due
      switch (port.Read(buffer.data(), buffer.size(), received, wait_ms)) {
        case Line::ReadResult::kData:
          wire.Received(buffer.data(), received);
          composite_->process(buffer.data(), static_cast<unsigned>(received));
          break;
        case Line::ReadResult::kGone:
          keeper.Lost("hung up");
          break;
        case Line::ReadResult::kNothing:
          break;
      }
      const unsigned completed = events_.completed_cycles();
      if (completed == reported) continue;
      reported = completed;
      // The cycle's alarms and history saves run on the threshold worker: let them land first,
      // so the table and the history show the whole cycle.
      controller_->Drain();
      const auto cycle = events_.last_cycle();
      ReportValues(fmt::format("cycle {} - {} queries, {:.2f} s", cycle.number, cycle.queries,
                               cycle.seconds));
      if (options_.cycles && reported >= *options_.cycles) break;
    }
  }

  void Release() {
    units_.clear();
    composite_.reset();
  }

 private:
  void Print(const std::string& text) {
    std::lock_guard<std::mutex> lock(events_.output_mutex());
    fmt::print("{}\n", text);
    std::fflush(stdout);
  }

  const HostOptions& options_;
  BenchEvents& events_;
  EventStream& stream_;
  std::shared_ptr<ZVKController> controller_;
  std::shared_ptr<ZVKSPDevice> composite_;
  std::vector<std::shared_ptr<ZVKVDevice>> units_;
};

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

int RunBenchHost(const HostOptions& options) {
  const std::string config_path =
      options.config_path.empty() ? ExampleConfigPath() : options.config_path;
  Json::Value config;
  if (auto problem = LoadConfigFile(config_path, config); !problem.empty()) return Fail(2, problem);
  if (auto problem = CheckConfig(config); !problem.empty())
    return Fail(2, "configuration " + config_path + ": " + problem);

  EventStream stream;
  if (!options.events_path.empty()) {
    if (auto problem = stream.Open(options.events_path); !problem.empty()) return Fail(2, problem);
  }
  WireLog wire;
  if (options.trace) wire.EnableTrace(stdout);
  if (!options.record_path.empty()) {
    if (auto problem = wire.OpenRecord(options.record_path); !problem.empty())
      return Fail(2, problem);
  }

  LoadedPlugin plugin;
  const std::string plugin_path =
      options.plugin_path.empty() ? DefaultPluginPath() : options.plugin_path;
  if (auto problem = LoadPlugin(plugin_path, plugin); !problem.empty()) return Fail(1, problem);
  std::string failure;
  std::shared_ptr<ZVKSPDevice> composite = CreateCompositeDevice(plugin, failure);
  if (!composite) return Fail(1, failure);

  std::unique_ptr<HistoryStore> history;
  const std::string history_path =
      options.history_path.empty() ? DefaultHistoryPath() : options.history_path;
  if (!options.no_history) {
    history = HistoryStore::Open(history_path, failure);
    if (!history) return Fail(1, failure);
  }

  auto events = std::make_shared<BenchEvents>(stream, history.get(), stdout);
  auto controller = std::make_shared<ZVKController>(events);
  const unsigned data_id = config.get("data_id", 0).asUInt();
  bool initialised = false;
  try {
    initialised = composite->Init(controller, data_id, config);
  } catch (const std::exception& thrown) {
    return Fail(2, "configuration " + config_path + ": the plug-in failed on it: " + thrown.what());
  }
  if (!initialised)
    return Fail(2, "configuration " + config_path +
                       ": the plug-in rejected it (InitSetting returned false)");

  BenchRun run(options, *events, stream, controller, composite);

  std::unique_ptr<SimulatedLine> simulator;
  std::string port_path = options.port;
  if (options.simulate) {
    simulator = SimulatedLine::Start(options.scenario_path, failure);
    if (!simulator) return Fail(2, failure);
    port_path = simulator->path();
  }
  SerialPort port(port_path, options.baud);
  if (auto problem = port.Open(); !problem.empty()) return Fail(1, problem);

  fmt::print("k426b-host: plug-in {}\n  configuration {}\n  line {}{}\n  history {}\n",
             plugin.path, config_path, port_path,
             options.simulate ? " (built-in simulator)" : fmt::format(" at {} 8N1", options.baud),
             history ? history_path : std::string("off"));
  std::fflush(stdout);
  if (history) run.LoadCaches(*history);
  run.ReportValues("start - values before the first cycle");

  composite->AttachPort([&port, &wire](const unsigned char* bytes, unsigned length) {
    if (!port.is_open()) return false;
    wire.Sent(bytes, length);
    return port.Write(bytes, length);
  });
  InstallSignalHandlers();
  run.Loop(port, wire);

  composite->AttachPort(nullptr);
  controller->Drain();
  controller->Shutdown();
  const unsigned completed = events->completed_cycles();
  fmt::print("k426b-host: {} cycle{} completed{}\n", completed, completed == 1 ? "" : "s",
             history ? fmt::format(", {} history rows in {}", history->RowCount(), history_path)
                     : std::string());
  std::fflush(stdout);
  run.Release();
  composite.reset();
  if (simulator) simulator->Stop();
  port.Close();
  return events->history_failures() == 0 ? 0 : 1;
}
