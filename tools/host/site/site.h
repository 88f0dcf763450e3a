#pragma once

// One power system: its line, the composite device the plug-in makes for it, its line state,
// its cache policy and its serial loop (RefreshStatus, read, process), taken one step at a time:
// on a thread of its own (Run), or beside other sites on a SiteLoop. After every cycle and every change of the line it publishes its whole status to the
// status board; its human output and events carry its name when there are several sites.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "tools/host/events/event_stream.h"
#include "tools/host/events/line_state.h"
#include "tools/host/events/site_events.h"
#include "tools/host/events/wire_log.h"
#include "tools/host/line/line.h"
#include "tools/host/site/cache_policy.h"
#include "tools/host/site/poll_schedule.h"
#include "tools/host/status/status_board.h"
#include "tools/host/store/history_store.h"
#include "tools/host/system/human_output.h"
#include "tools/host/system/plugin_loader.h"

class DeferredPause;
class ThresholdWorker;
class ZVKController;
class ZVKSPDevice;
class ZVKVDevice;

namespace k426b_host {

struct SiteSettings {
  std::string name;    // "" for the one-site command line
  std::string source;  // the line as history rows record it: device path, tcp://..., "simulator"
  int baud = 9600;     // the line's speed, which a reply arriving in pieces keeps to
  Json::Value config;  // the composite device's configuration, already checked
  std::chrono::seconds max_cache_age{600};
  std::optional<unsigned> cycles;  // end the loop after this many completed cycles
  // One of many sites: after a cycle one summary line (and the alarm changes), not every value.
  bool summary = false;
  // How far into a second the site starts its cycles (CycleStartOffset): 0 for one site.
  std::chrono::microseconds cycle_start_offset{0};
};

// What a site waits for before its next step.
struct SiteWait {
  std::chrono::steady_clock::time_point until{};  // the step is due then at the latest...
  int fd = -1;          // ...or as soon as this descriptor is readable; -1: only the time
  int line_fd = -1;     // the line's descriptor now, -1 while it is closed
  bool reopen = false;  // the line is down and a reopen is due: call Reopen, then step again
  bool done = false;    // the cycles asked for are complete: no further step
};

class Site : private LineState::Output {
 public:
  // How often the values are shown again while no cycle completes.
  static constexpr std::chrono::seconds kValuesInterval{10};
  // The plug-in refuses values 61 whole seconds (of its one-second clock) after the cycle that
  // took them, or after a cache load; a little later they are certainly refused.
  static constexpr std::chrono::milliseconds kFreshness{61200};

  // `history` may be null; `stream`, `board`, `out` and `wire` outlive the site. The site's
  // threshold work runs on `worker` when given (one worker for many sites), else on a worker of
  // its own.
  Site(SiteSettings settings, std::unique_ptr<Line> line, const LoadedPlugin& plugin,
       HistoryStore* history, EventStream& stream, StatusBoard& board, HumanOutput& out,
       WireLog& wire, std::shared_ptr<ThresholdWorker> worker = nullptr);
  ~Site() override;
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  // Makes the composite device and initialises it with the configuration. Empty result on
  // success, else why the plug-in refused it.
  std::string CreateDevice();
  // Opens the line; empty result on success, else the reason. With `keep_trying` a failure
  // marks the line lost and Run reopens it with back-off.
  std::string OpenLine(bool keep_trying = false);
  // Hands the units the stored snapshots the cache policy allows and shows the values.
  void Start();
  // The serial loop on the calling thread, until `stop` says so or the cycles asked for are
  // complete.
  void Run(const std::function<bool()>& stop);
  // One step of the serial loop, which never blocks on the line: writes a query held through
  // the device's pause once it is due, handles what can be read when `readable`, shows a
  // completed cycle, and calls RefreshStatus. Says what to wait for before the next step; an
  // early step does no harm.
  SiteWait Step(bool readable);
  // Tries to reopen the lost line and make the device anew, which may block (a connect).
  void Reopen() { EnsureLineOpen(); }
  // Detaches the device from the line and lets the threshold worker finish.
  void Finish();
  // For a loop that serves other sites too and must not wait on the threshold worker: after a
  // cycle the site queues a mark behind the cycle's work items instead of waiting for them, and
  // shows the cycle at its first step after the mark has run. `worked` is called on the worker
  // then, to wake the loop. Set before the first step.
  void ShowCyclesOnceWorked(std::function<void()> worked);
  // The mark behind a completed cycle's work items has run: the site's next step shows it.
  bool CycleWorked() const { return cycle_worked_.load(); }
  // For a loop that stores the history rows of all its sites shown in one wake-up together: the
  // steps hand their rows to `batch`, which the loop flushes before it waits again. Set before
  // the first step.
  void StoreHistoryIn(HistoryBatch* batch) { history_batch_ = batch; }

  const std::string& name() const { return settings_.name; }
  unsigned completed_cycles() const { return events_->completed_cycles(); }
  long long history_failures() const { return events_->history_failures(); }
  LineStatus line_status() const { return line_state_.status(); }

 private:
  void Changed(const LineStatus& status) override;
  void Say(const std::string& line) override;

  void LoadCaches();
  void ReportValues(const std::string& title);
  void Publish(std::vector<UnitStatus> units);
  void LineLost(const char* why);
  bool EnsureLineOpen();
  void ClearStaleModelAlarms();
  bool SendToLine(const unsigned char* bytes, unsigned length);
  void WriteHeld();
  void Received(std::size_t length);  // of buffer_
  // Whether the completed cycles' work items have run, so that they can be shown.
  bool CyclesWorked();
  // Stores the history rows saved since the last call, or hands them to the loop's batch.
  void StoreHistory();
  void AfterCycle();
  SiteWait Waiting(std::chrono::steady_clock::time_point until, int fd = -1) const;

  SiteSettings settings_;
  std::unique_ptr<Line> line_;
  const LoadedPlugin& plugin_;
  HistoryStore* history_;
  EventStream& stream_;
  StatusBoard& board_;
  HumanOutput& out_;
  WireLog& wire_;
  CachePolicy cache_policy_;
  std::shared_ptr<SiteEvents> events_;
  LineState line_state_;
  std::shared_ptr<ZVKController> controller_;
  std::shared_ptr<ZVKSPDevice> composite_;
  std::vector<std::shared_ptr<ZVKVDevice>> units_;
  bool finished_ = false;
  // The serial loop's state between steps.
  std::vector<unsigned char> buffer_ = std::vector<unsigned char>(4096);
  FrameProgress frame_;
  std::chrono::steady_clock::time_point rest_of_frame_{};  // no read before then
  unsigned reported_ = 0;  // completed cycles shown
  // Showing a cycle once its work items have run, without waiting for them (ShowCyclesOnceWorked).
  std::function<void()> on_worked_;
  bool mark_queued_ = false;
  unsigned marked_ = 0;                   // the completed cycles the queued mark follows
  std::atomic<bool> cycle_worked_{false};  // the mark has run
  HistoryBatch* history_batch_ = nullptr;
  std::chrono::steady_clock::time_point values_shown_{};
  // When the values shown last turn stale for the plug-in: shown again at that moment too.
  std::chrono::steady_clock::time_point values_expire_{};
  // The pause of the reply being processed, and what the device sends meanwhile: it leaves once
  // the pause has passed.
  DeferredPause* pause_ = nullptr;
  std::vector<unsigned char> held_;
  std::chrono::steady_clock::time_point held_until_{};

  // Reopening a lost line: 250 ms after the loss, then doubling up to 5 s between tries.
  std::chrono::milliseconds reopen_delay_{250};
  std::chrono::steady_clock::time_point next_reopen_{};
};

}  // namespace k426b_host
