#pragma once

// One power system: its line, the composite device the plug-in makes for it, its line state,
// its cache policy and its serial loop (RefreshStatus, read, process), taken one step at a time
// by a SiteLoop, alone or beside other sites. After every cycle and every change of the line it
// publishes its whole status through its output (SiteOutput); its lines for people and its
// events carry its name when there are several sites. Its device and the cache loads are its
// DeviceSession's.

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
#include "tools/host/site/device_session.h"
#include "tools/host/site/poll_schedule.h"
#include "tools/host/site/reopen_backoff.h"
#include "tools/host/site/site_output.h"
#include "tools/host/store/history_batch.h"
#include "tools/host/store/history_sink.h"
#include "tools/host/store/history_store.h"
#include "tools/host/system/plugin_loader.h"

class DeferredPause;
class ThresholdWorker;
class ZVKController;

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
  // With `summary`: that line after every cycle, and while none completes every 10 s. Without,
  // only the lines that carry alarm changes (and the first, at start), so that many sites do
  // not fill the journal with a line each a cycle.
  bool every_summary = false;
  // How far into a second the site starts its cycles (CycleStartOffset): 0 for one site.
  std::chrono::microseconds cycle_start_offset{0};
};

// What a site uses and does not own. All but `history` and `worker` must be given; all but
// `worker` outlive the site.
struct SiteDependencies {
  const LoadedPlugin* plugin = nullptr;
  // The site's events, made for it (named and sourced as its settings say) on `stream` and
  // `history` below: AddSiteEvents.
  std::shared_ptr<SiteEvents> events;
  EventStream* stream = nullptr;    // where `events` write: a step's lines leave in one write
  SiteHistory* history = nullptr;   // null: no history kept, no cache loaded
  SiteOutput* output = nullptr;
  WireLog* wire = nullptr;
  // The site's threshold work runs on it when given (one worker for many sites), else on a
  // worker of its own.
  std::shared_ptr<ThresholdWorker> worker;
};

// What a site waits for before its next step.
struct SiteWait {
  std::chrono::steady_clock::time_point until{};  // the step is due then at the latest...
  int fd = -1;       // ...or as soon as this descriptor is readable; -1: only the time
  int line_fd = -1;  // the line's descriptor now, -1 while it is closed
  // The line is not open and an open is due (the first, or a reopen): call Reopen, then step
  // again.
  bool reopen = false;
  bool done = false;  // the cycles asked for are complete: no further step
};

class Site : private LineState::Output {
 public:
  // How often the values are shown again while no cycle completes.
  static constexpr std::chrono::seconds kValuesInterval{10};
  // The plug-in refuses values once they are kDataFreshFor old (by its one-second clock); a
  // little later they are certainly refused.
  static constexpr std::chrono::milliseconds kFreshness =
      kDataFreshFor + std::chrono::milliseconds(200);

  Site(SiteSettings settings, std::unique_ptr<Line> line, SiteDependencies dependencies);
  ~Site() override;
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  // Makes the composite device and initialises it with the configuration. Empty result on
  // success, else why the plug-in refused it.
  std::string CreateDevice();
  // Opens the line now; empty result on success, else the reason. With `keep_trying` a failure
  // marks the line lost and the loop reopens it with back-off. A site whose line is not opened
  // here has it opened by its loop's first step, off the caller's thread (Reopen).
  std::string OpenLine(bool keep_trying = false);
  // Hands the units the stored snapshots the cache policy allows and shows the values.
  void Start();
  // One step of the serial loop, which never blocks on the line: writes a query held through
  // the device's pause once it is due, handles what can be read when `readable`, shows a
  // completed cycle, and calls RefreshStatus. Says what to wait for before the next step; an
  // early step does no harm.
  SiteWait Step(bool readable);
  // Opens the line for the first time, or tries to reopen the lost line and make the device
  // anew; may block (a name lookup, a connect). Called by the loop's openers, so sites open
  // beside each other.
  void Reopen() { EnsureLineOpen(); }
  // From any thread, for a site that is being stopped: an open under way gives up soon, quietly,
  // and none is tried again.
  void GiveUpOpening();
  // Detaches the device from the line and lets the threshold worker finish.
  void Finish();
  // The loop may serve other sites too, so no step waits on the threshold worker: after a
  // cycle the site queues a mark behind the cycle's work items, and shows the cycle at its first
  // step after the mark has run. `worked` is called on the worker then, to wake the loop. Set by
  // the loop before the first step.
  void ShowCyclesOnceWorked(std::function<void()> worked);
  // The mark behind a completed cycle's work items has run: the site's next step shows it.
  bool CycleWorked() const { return cycle_worked_.load(); }
  // For a loop that stores the history rows of all its sites shown in one wake-up together: the
  // steps hand their rows to `batch`, which the loop flushes before it waits again. Set before
  // the first step.
  void StoreHistoryIn(HistoryBatch* batch);

  const std::string& name() const { return settings_.name; }
  unsigned completed_cycles() const { return events_->completed_cycles(); }
  long long history_failures() const { return events_->history_failures(); }
  LineStatus line_status() const { return line_state_.status(); }

 private:
  void Changed(const LineStatus& status) override;
  void Say(const std::string& line) override;

  void ReportValues(const std::string& title);
  void Publish(std::vector<UnitStatus> units);
  void LineLost(const char* why);
  bool EnsureLineOpen();
  // The values shown again while no cycle completes, when due (NextValuesShowing).
  void ShowValuesIfDue();
  void ClearStaleModelAlarms();
  bool SendToLine(const unsigned char* bytes, unsigned length);
  void WriteHeld();
  void Received(std::size_t length);  // of buffer_
  void CountForeign();
  // Whether the completed cycles' work items have run, so that they can be shown.
  bool CyclesWorked();
  // Hands the history rows saved since the last call to the history sink.
  void StoreHistory();
  void AfterCycle();
  SiteWait Waiting(std::chrono::steady_clock::time_point until, int fd = -1) const;

  SiteSettings settings_;
  std::unique_ptr<Line> line_;
  SiteHistory* history_;
  EventStream& stream_;
  SiteOutput& output_;
  WireLog& wire_;
  std::shared_ptr<SiteEvents> events_;
  LineState line_state_;
  std::shared_ptr<ZVKController> controller_;
  DeviceSession device_;
  // Where the history rows go when the values are shown: the store, or the loop's batch
  // (StoreHistoryIn); null without a history.
  HistorySink* history_sink_;
  bool finished_ = false;
  // The serial loop's state between steps.
  std::vector<unsigned char> buffer_ = std::vector<unsigned char>(4096);
  FrameProgress frame_;
  std::chrono::steady_clock::time_point rest_of_frame_{};  // no read before then
  unsigned reported_ = 0;                                  // completed cycles shown
  // Showing a cycle once its work items have run, without waiting for them (ShowCyclesOnceWorked).
  std::function<void()> on_worked_;
  bool mark_queued_ = false;
  unsigned marked_ = 0;                    // the completed cycles the queued mark follows
  std::atomic<bool> cycle_worked_{false};  // the mark has run
  std::unique_ptr<BatchedHistory> batched_history_;
  std::chrono::steady_clock::time_point values_shown_{};
  // When the values shown last turn stale for the plug-in: shown again at that moment too.
  std::chrono::steady_clock::time_point values_expire_{};
  // The pause of the reply being processed, and what the device sends meanwhile: it leaves once
  // the pause has passed.
  DeferredPause* pause_ = nullptr;
  std::vector<unsigned char> held_;
  std::chrono::steady_clock::time_point held_until_{};

  // Opening the line: the first open at the first step, a lost line reopened with back-off,
  // reset by a valid reply only.
  bool first_open_due_ = true;
  std::atomic<bool> giving_up_{false};
  ReopenBackoff backoff_;
  unsigned long long replies_seen_ = 0;  // the line state's count at the last step
  std::chrono::steady_clock::time_point next_reopen_{};
};

}  // namespace k426b_host
