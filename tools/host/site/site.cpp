#include "tools/host/site/site.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "host/controller.h"
#include "host/device.h"
#include "host/ttime.h"
#include "tools/host/site/poll_schedule.h"
#include "tools/host/site/unit_values.h"
#include "tools/host/site/values_report.h"
#include "tools/host/status/record_types.h"
#include "tools/host/system/host_log.h"

namespace k426b_host {

namespace {

using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

// How often a site whose shared line is lost looks whether another site has opened it again.
constexpr std::chrono::seconds kJoinLook{1};

}  // namespace

Site::Site(SiteSettings settings, std::unique_ptr<Line> line, SiteDependencies dependencies)
    : settings_(std::move(settings)),
      line_(std::move(line)),
      history_(dependencies.history),
      stream_(*dependencies.stream),
      output_(*dependencies.output),
      wire_(*dependencies.wire),
      events_(std::move(dependencies.events)),
      line_state_(line_->path(), *this),
      controller_(std::make_shared<ZVKController>(events_, std::move(dependencies.worker))),
      device_(*dependencies.plugin, settings_.config,
              CachePolicy(settings_.max_cache_age, settings_.source), controller_, *events_,
              history_, output_),
      history_sink_(history_) {
  events_->AttachLineState(&line_state_);
  if (const int address = line_->shared_address(); address >= 0)
    line_state_.SetSilentReason(fmt::format("no answer from address {}", address));
  wire_.SetFrameSink([events = events_.get()](const char* direction, const std::string& frame) {
    events->Frame(direction, frame);
  });
  // A new site's status: whatever a site of the same name left is replaced whole.
  output_.PublishStatus([this](SiteStatus& status) {
    status = SiteStatus();
    status.name = settings_.name;
    status.port = settings_.source;
    status.line = line_state_.status();
  });
}

Site::~Site() {
  Finish();
  wire_.SetFrameSink(nullptr);
}

std::string Site::CreateDevice() {
  // Sites make their devices on several threads (the start and reloads, the reopens): the
  // plug-in is handed one at a time.
  static std::mutex making;
  std::lock_guard<std::mutex> lock(making);
  return device_.Create(
      [this](const unsigned char* bytes, unsigned length) { return SendToLine(bytes, length); });
}

std::string Site::OpenLine(bool keep_trying) {
  first_open_due_ = false;
  const std::string failure = line_->Open();
  // A line that cannot be opened is not up: it counts as lost until a reopen succeeds.
  if (!failure.empty() && keep_trying) LineLost(failure.c_str());
  return failure;
}

void Site::Start() {
  device_.LoadCaches();
  ReportValues("start - values before the first cycle");
  reported_ = events_->completed_cycles();
  values_shown_ = Clock::now();
  values_expire_ = values_shown_ + kFreshness;
}

void Site::ReportValues(const std::string& title) {
  ValuesReport report(title, events_->ModelAlarm());
  const WallClock::time_point now = WallClock::now();
  std::vector<UnitStatus> units;
  units.reserve(device_.units().size());
  for (const auto& unit : device_.units()) {
    UnitStatus status;
    status.data_id = unit->DataId();
    status.device_type = unit->DeviceType();
    status.record_type = RecordTypeOf(unit->DeviceType());
    UnitData data = events_->LatestData(status.data_id, status.record_type);
    if (!data.snapshot.empty() || data.taken != WallClock::time_point{}) {
      status.age_s = std::round(std::chrono::duration<double>(now - data.taken).count() * 10) / 10;
      status.cached = data.cached;
      status.snapshot = std::move(data.snapshot);
    }
    const unsigned screens = status.record_type == kAcRecordType ? ScreenCount(status.snapshot) : 0;
    const auto keys = ValueKeys(status.device_type, screens);
    status.values = ReadUnitValues(*unit, keys);
    const std::vector<UnitValue>& values = status.values;

    if (events_->streaming()) {
      Json::Value members(Json::objectValue);
      members["data_id"] = status.data_id;
      members["device_type"] = status.device_type;
      members["values"] = ValuesJson(values, !keys.empty());
      members["age_s"] = status.age_s ? Json::Value(*status.age_s) : Json::Value();
      members["cached"] = status.cached;
      events_->Emit("values", std::move(members));
    }
    if (!settings_.summary) report.AddUnit(status, values);
    units.push_back(std::move(status));
  }
  const std::vector<AlarmChange> changes = events_->TakeAlarmChanges();
  for (const AlarmChange& change : changes) report.AddAlarmChange(change);
  const bool at_start = values_shown_ == Clock::time_point{};
  if (!settings_.summary || settings_.every_summary || at_start || !changes.empty())
    Say(report.Text());
  Publish(std::move(units));
}

void Site::Publish(std::vector<UnitStatus> units) {
  const LineStatus line = line_state_.status();
  const auto fill = [&](SiteStatus& status) {
    status.port = settings_.source;
    status.line = line;
    status.units = std::move(units);
    events_->FillStatus(status);
  };
  // Filled in place: changed alarms are copied into the strings of the status published before,
  // which hold them without allocating anew; the frame trace is shared, not copied.
  output_.PublishStatus(fill);
}

void Site::Changed(const LineStatus& status) {
  events_->Emit("line", LineStatusJson(status));
  output_.LineChanged(status);
}

void Site::Say(const std::string& line) { output_.Say(line); }

void Site::LineLost(const char* why) {
  line_->Close();
  HostLog().warn("{}lost {} ({}); reopening", SitePrefix(settings_.name), line_->path(), why);
  line_state_.Lost(why);
  held_.clear();             // a query held for a line that is gone is not sent on the next one
  frame_ = FrameProgress();  // nor is a frame cut off with the line waited for
  rest_of_frame_ = {};
  // Not reset here: a line that is lost again and again without a valid reply in between (a
  // server that accepts and hangs up) is tried less and less often.
  next_reopen_ = Clock::now() + backoff_.Next();
}

void Site::GiveUpOpening() {
  giving_up_.store(true);
  line_->GiveUpOpening();
}

bool Site::EnsureLineOpen() {
  if (line_->is_open()) return true;
  if (Clock::now() < next_reopen_ && !line_->OpenElsewhere()) return false;
  const std::string failure = line_->Open();
  if (giving_up_.load()) {
    line_->Close();  // the site is being stopped: nothing more is told of its line
    return false;
  }
  if (first_open_due_) {
    // The device was made and the stored values handed over at the start: only the line was
    // missing. One that cannot be opened is lost, and reopened with back-off.
    first_open_due_ = false;
    if (!failure.empty()) LineLost(failure.c_str());
    return failure.empty();
  }
  if (!failure.empty()) {
    next_reopen_ = Clock::now() + backoff_.Next();
    return false;
  }
  HostLog().info("{}reopened {}", SitePrefix(settings_.name), line_->path());
  line_state_.Reopened();
  // The path may lead to another power system now: a new device checks the model again, and
  // only stored values the cache policy allows are handed over.
  if (const std::string failure = CreateDevice(); !failure.empty()) {
    HostLog().error("{}cannot create the device anew: {}", SitePrefix(settings_.name), failure);
    LineLost("no device");
    return false;
  }
  events_->DeviceMadeAnew();
  Say("device created anew after reopening " + line_->path() + ": the model is checked again");
  device_.LoadCaches();
  return true;
}

namespace {

// While no cycle completes, the values are shown again every interval, and once more at the
// moment the plug-in starts refusing them.
Clock::time_point NextValuesShowing(Clock::time_point shown, Clock::time_point expire) {
  const Clock::time_point next = shown + Site::kValuesInterval;
  return shown < expire ? std::min(next, expire) : next;
}

}  // namespace

void Site::ShowValuesIfDue() {
  // No cycle: the values are shown again every 10 s, and at the moment the plug-in starts
  // refusing them, so their ageing shows.
  const Clock::time_point now = Clock::now();
  const bool expiring = values_shown_ < values_expire_ && now >= values_expire_;
  if (now - values_shown_ >= kValuesInterval || expiring) {
    values_shown_ = now;
    StoreHistory();  // the rows of units that closed a cycle the site did not
    ReportValues(
        fmt::format("no cycle completed - line {}", LineConditionText(line_state_.status().state)));
  }
}

void Site::ClearStaleModelAlarms() {
  // A model alarm of the power system that was behind the line before is cleared through the
  // threshold worker, so it lands before the new device's first cycle raises anything.
  for (rule_value& rule : events_->TakeStaleModelAlarms()) {
    controller_->Submit([controller = controller_.get(), rule = std::move(rule)] {
      controller->BatchCheck(rule.data_id, {rule});
    });
  }
}

void Site::ShowCyclesOnceWorked(std::function<void()> worked) { on_worked_ = std::move(worked); }

bool Site::CyclesWorked() {
  // The cycle's alarms and history saves run on the threshold worker: they land first, so the
  // table and the history show the whole cycle.
  const unsigned completed = events_->completed_cycles();
  if (mark_queued_ && cycle_worked_.load()) {
    mark_queued_ = false;
    cycle_worked_.store(false);
    if (marked_ == completed) return true;
    // A later cycle completed behind the mark: its items need a mark of their own.
  }
  if (!mark_queued_) {
    mark_queued_ = true;
    marked_ = completed;
    controller_->Submit([this] {
      cycle_worked_.store(true);
      on_worked_();
    });
  }
  return false;
}

void Site::StoreHistoryIn(HistoryBatch* batch) {
  // No rows to store, or a history that stores them off the loop's thread.
  HistoryStore* store = history_ != nullptr ? history_->batch_store() : nullptr;
  if (store == nullptr) return;
  batched_history_ = std::make_unique<BatchedHistory>(*batch, *store);
  history_sink_ = batched_history_.get();
}

void Site::StoreHistory() {
  if (history_sink_ == nullptr) return;  // no history kept: the units' saves are not gathered
  history_sink_->Store(
      events_->source(), events_->TakeHistory(),
      [events = events_](const std::vector<HistoryRow>& rows,
                         const std::vector<std::size_t>& failed,
                         const std::string& why) { events->HistoryStored(rows, failed, why); });
}

void Site::AfterCycle() {
  reported_ = events_->completed_cycles();
  StoreHistory();
  const auto cycle = events_->last_cycle();
  ReportValues(
      fmt::format("cycle {} - {} queries, {:.2f} s", cycle.number, cycle.queries, cycle.seconds));
  values_shown_ = Clock::now();
  values_expire_ = values_shown_ + kFreshness;
}

SiteWait Site::Waiting(Clock::time_point until, int fd) const {
  SiteWait wait;
  wait.until = until;
  wait.fd = fd;
  wait.line_fd = line_->is_open() ? line_->fd() : -1;
  return wait;
}

SiteWait Site::Step(bool readable) {
  // The event lines of one step leave in one write, before the loop waits again.
  EventStream::Burst burst(stream_);
  events_->LogRepeats();
  if (!held_.empty()) {
    if (Clock::now() < held_until_) return Waiting(held_until_);
    // On a shared line the query waits for its turn, the line's descriptor wakes the site then.
    if (line_->is_open() && !line_->TakeTurn())
      return Waiting(NextValuesShowing(values_shown_, values_expire_), line_->fd());
    WriteHeld();
  }
  if (Clock::now() < rest_of_frame_) return Waiting(rest_of_frame_);
  if (!line_->is_open()) {
    // The values age while the line is down too; between their showings and the reopens the
    // site sleeps.
    ShowValuesIfDue();
    const bool join = line_->OpenElsewhere();
    if (Clock::now() < next_reopen_ && !join) {
      auto until = std::min(next_reopen_, NextValuesShowing(values_shown_, values_expire_));
      // On a shared line another site may have it open first: looked at again within a second.
      if (line_->shared_address() >= 0) until = std::min(until, Clock::now() + kJoinLook);
      return Waiting(until);
    }
    SiteWait wait = Waiting(join ? Clock::now() : next_reopen_);
    wait.reopen = true;
    return wait;
  }
  if (readable) {
    std::size_t received = 0;
    switch (line_->Read(buffer_.data(), buffer_.size(), received, 0)) {
      case Line::ReadResult::kData: Received(received); break;
      case Line::ReadResult::kGone: LineLost("hung up"); break;
      case Line::ReadResult::kNothing: break;
    }
    CountForeign();
    // A valid reply: the line works, and a later loss is tried again soon.
    if (const unsigned long long replies = line_state_.replies(); replies != replies_seen_) {
      replies_seen_ = replies;
      backoff_.Reset();
    }
  }
  line_state_.Tick();
  ClearStaleModelAlarms();
  if (events_->completed_cycles() != reported_) {
    if (CyclesWorked()) {
      AfterCycle();
      if (settings_.cycles && reported_ >= *settings_.cycles) {
        SiteWait done = Waiting(Clock::time_point::max());
        done.done = true;
        return done;
      }
    }
  } else {
    ShowValuesIfDue();
  }
  if (!held_.empty()) return Waiting(held_until_);
  if (Clock::now() < rest_of_frame_) return Waiting(rest_of_frame_);
  if (!line_->is_open()) return Waiting(Clock::now());  // lost: the next step reopens it
  // Wait until bytes come or something is due: the poll's own next step (reply time-out, end
  // of the quiet time) or the next showing of the values.
  const LoopClocks before = LoopClocks::Now();
  device_.composite().RefreshStatus();
  return Waiting(std::min(NextRefresh(ExchangeStateOf(device_.composite()), before,
                                      settings_.cycle_start_offset),
                          NextValuesShowing(values_shown_, values_expire_)),
                 line_->fd());
}

void Site::Finish() {
  if (finished_) return;
  finished_ = true;
  device_.Detach();
  if (controller_) {
    controller_->Drain();
    controller_->Shutdown();
  }
  events_->StoreHistory();
  device_.Release();
  line_->Close();
}

}  // namespace k426b_host
