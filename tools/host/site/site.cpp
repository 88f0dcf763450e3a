#include "tools/host/site/site.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include <fmt/format.h>

#include "host/controller.h"
#include "host/device.h"
#include "host/ttime.h"
#include "tools/host/site/poll_schedule.h"
#include "tools/host/site/unit_values.h"
#include "tools/host/system/host_log.h"

namespace k426b_host {

namespace {

using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

constexpr int kAcRecordType = 5094;

// "(4 s old)", "(cached, 3 min old)", "(no data)" for the values table.
std::string AgeText(const UnitStatus& unit) {
  if (!unit.age_s) return "(no data)";
  const std::string age = HumanAge(std::max(0.0, *unit.age_s));
  return unit.cached ? "(cached, " + age + " old)" : "(" + age + " old)";
}

}  // namespace

Site::Site(SiteSettings settings, std::unique_ptr<Line> line, const LoadedPlugin& plugin,
           HistoryStore* history, EventStream& stream, StatusBoard& board, HumanOutput& out,
           WireLog& wire, std::shared_ptr<ThresholdWorker> worker)
    : settings_(std::move(settings)),
      line_(std::move(line)),
      plugin_(plugin),
      history_(history),
      stream_(stream),
      board_(board),
      out_(out),
      wire_(wire),
      cache_policy_(settings_.max_cache_age, settings_.source),
      events_(std::make_shared<SiteEvents>(settings_.name, stream, history, settings_.source, out)),
      line_state_(line_->path(), *this) {
  events_->AttachLineState(&line_state_);
  controller_ = std::make_shared<ZVKController>(events_, std::move(worker));
  wire_.SetFrameSink([events = events_.get()](const char* direction, const std::string& frame) {
    events->Frame(direction, frame);
  });
  SiteStatus status;
  status.name = settings_.name;
  status.port = settings_.source;
  status.line = line_state_.status();
  board_.Publish(status);
}

Site::~Site() {
  Finish();
  wire_.SetFrameSink(nullptr);
}

std::string Site::CreateDevice() {
  if (composite_) {
    composite_->AttachPort(nullptr);
    controller_->Drain();
  }
  units_.clear();
  composite_.reset();
  std::string failure;
  std::shared_ptr<ZVKSPDevice> composite = CreateCompositeDevice(plugin_, failure);
  if (!composite) return failure;
  const unsigned data_id = settings_.config.get("data_id", 0).asUInt();
  try {
    if (!composite->Init(controller_, data_id, settings_.config))
      return "the plug-in rejected it (InitSetting returned false)";
  } catch (const std::exception& thrown) {
    return std::string("the plug-in failed on it: ") + thrown.what();
  }
  for (auto& child : composite->GetAllChildVDevices())
    if (child) units_.push_back(child);
  composite->AttachPort(
      [this](const unsigned char* bytes, unsigned length) { return SendToLine(bytes, length); });
  composite_ = std::move(composite);
  return {};
}

std::string Site::OpenLine(bool keep_trying) {
  const std::string failure = line_->Open();
  // A line that cannot be opened is not up: it counts as lost until a reopen succeeds.
  if (!failure.empty() && keep_trying) LineLost(failure.c_str());
  return failure;
}

void Site::Start() {
  LoadCaches();
  ReportValues("start - values before the first cycle");
  reported_ = events_->completed_cycles();
  values_shown_ = Clock::now();
  values_expire_ = values_shown_ + kFreshness;
}

void Site::LoadCaches() {
  if (history_ == nullptr) return;
  events_->StoreHistory();  // the newest rows are read back: none may be left waiting
  if (!cache_policy_.enabled()) {
    Say("stored values not loaded: --max-cache-age 0");
    return;
  }
  const WallClock::time_point now = WallClock::now();
  for (const auto& unit : units_) {
    const int record_type = RecordTypeOf(unit->DeviceType());
    const auto stored = history_->Newest(unit->DataId(), record_type);
    if (!stored) continue;
    const CachePolicy::Decision decision = cache_policy_.Judge(*stored, now);
    bool accepted = false;
    if (decision.offer) {
      accepted = unit->LoadFromCache(stored->bytes.data(), static_cast<int>(stored->bytes.size()));
      if (accepted)
        events_->CacheAccepted(unit->DataId(), record_type, stored->bytes,
                               now - std::chrono::duration_cast<WallClock::duration>(
                                         std::chrono::duration<double>(*decision.age_s)));
    }
    Json::Value members(Json::objectValue);
    members["data_id"] = unit->DataId();
    members["record_type"] = record_type;
    members["length"] = static_cast<Json::UInt64>(stored->bytes.size());
    members["accepted"] = accepted;
    members["age_s"] = decision.age_s ? Json::Value(std::round(*decision.age_s * 10) / 10)
                                      : Json::Value();
    members["source"] = stored->source;
    if (!decision.offer) members["refused"] = decision.refusal;
    events_->Emit("cache", members);
    const std::string what = fmt::format("stored values of {} {}", unit->DataId(), unit->DeviceType());
    if (!decision.offer)
      Say(fmt::format("{} not used: {}", what, decision.refusal));
    else
      Say(fmt::format("{} ({} old): {}", what, HumanAge(std::max(0.0, *decision.age_s)),
                      accepted ? "loaded" : "refused by the unit"));
  }
}

void Site::ReportValues(const std::string& title) {
  std::string table = title + "\n";
  const std::string model_alarm = events_->ModelAlarm();
  if (!model_alarm.empty()) table += fmt::format("  !!! MODEL ALARM: {}\n", model_alarm);
  const WallClock::time_point now = WallClock::now();
  std::vector<UnitStatus> units;
  units.reserve(units_.size());
  for (const auto& unit : units_) {
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
    const auto values = ReadUnitValues(*unit, keys);
    for (const UnitValue& value : values) status.values.push_back({value.key, value.value, value.error});

    if (events_->streaming()) {
      Json::Value members(Json::objectValue);
      members["data_id"] = status.data_id;
      members["device_type"] = status.device_type;
      members["values"] = ValuesJson(values, !keys.empty());
      members["age_s"] = status.age_s ? Json::Value(*status.age_s) : Json::Value();
      members["cached"] = status.cached;
      events_->Emit("values", std::move(members));
    }
    if (!settings_.summary)
      table += fmt::format("  {:>5} {:<9} {} {}\n", status.data_id, status.device_type,
                           AgeText(status), ValuesLine(values));
    units.push_back(std::move(status));
  }
  for (const AlarmChange& change : events_->TakeAlarmChanges()) {
    table += fmt::format("  alarm {:<7} {:>5} level {} {} {} {}: {}\n",
                         change.raised ? "raised" : "cleared", change.data_id, change.rule.level,
                         change.rule.rule_id, change.rule.code, change.rule.name,
                         change.rule.description);
  }
  table.pop_back();
  out_.Print(table);
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
  if (board_.Update(settings_.name, fill)) return;
  SiteStatus status;
  status.name = settings_.name;
  fill(status);
  board_.Publish(std::move(status));
}

void Site::Changed(const LineStatus& status) {
  events_->Emit("line", LineStatusJson(status));
  board_.Update(settings_.name, [&status](SiteStatus& site) { site.line = status; });
}

void Site::Say(const std::string& line) { out_.Print(line); }

void Site::LineLost(const char* why) {
  line_->Close();
  HostLog().warn("{}lost {} ({}); reopening", SitePrefix(settings_.name),
                 line_->path(), why);
  line_state_.Lost(why);
  held_.clear();            // a query held for a line that is gone is not sent on the next one
  frame_ = FrameProgress();  // nor is a frame cut off with the line waited for
  rest_of_frame_ = {};
  reopen_delay_ = std::chrono::milliseconds(250);
  next_reopen_ = Clock::now() + reopen_delay_;
}

bool Site::EnsureLineOpen() {
  if (line_->is_open()) return true;
  if (Clock::now() < next_reopen_) return false;
  const std::string failure = line_->Open();
  if (!failure.empty()) {
    reopen_delay_ = std::min(reopen_delay_ * 2, std::chrono::milliseconds(5000));
    next_reopen_ = Clock::now() + reopen_delay_;
    return false;
  }
  HostLog().info("{}reopened {}", SitePrefix(settings_.name),
                 line_->path());
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
  LoadCaches();
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

void Site::ClearStaleModelAlarms() {
  // A model alarm of the power system that was behind the line before is cleared through the
  // threshold worker, so it lands before the new device's first cycle raises anything.
  for (rule_value& rule : events_->TakeStaleModelAlarms()) {
    controller_->Submit([controller = controller_.get(), rule = std::move(rule)] {
      controller->BatchCheck(rule.data_id, {rule});
    });
  }
}

bool Site::SendToLine(const unsigned char* bytes, unsigned length) {
  if (!line_->is_open()) return false;
  // Sent during the pause of the reply being processed: it leaves once the pause has passed.
  if (pause_ != nullptr && pause_->paused()) {
    held_.insert(held_.end(), bytes, bytes + length);
    held_until_ = pause_->until();
    return true;
  }
  wire_.Sent(bytes, length);
  return line_->Write(bytes, length);
}

void Site::WriteHeld() {
  wire_.Sent(held_.data(), held_.size());
  line_->Write(held_.data(), held_.size());
  held_.clear();
  composite_->QueryWritten();
}

void Site::Received(std::size_t length) {
  const unsigned char* bytes = buffer_.data();
  wire_.Received(bytes, length);
  {
    DeferredPause pause;
    struct Release {
      DeferredPause*& pause;
      ~Release() { pause = nullptr; }
    } release{pause_};
    pause_ = &pause;
    composite_->process(buffer_.data(), static_cast<unsigned>(length));
  }
  // A reply arriving in pieces: no read while the rest of it crosses the line, so the loop
  // wakes once for it rather than for every piece.
  frame_.Feed(bytes, length);
  rest_of_frame_ =
      RestOfFrameDue(frame_, settings_.baud, ExchangeStateOf(*composite_), Clock::now());
}

void Site::ShowCyclesOnceWorked(std::function<void()> worked) { on_worked_ = std::move(worked); }

bool Site::CyclesWorked() {
  // The cycle's alarms and history saves run on the threshold worker: they land first, so the
  // table and the history show the whole cycle.
  if (!on_worked_) {
    controller_->Drain();
    return true;
  }
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

void Site::StoreHistory() {
  if (history_batch_ == nullptr || history_ == nullptr) {
    events_->StoreHistory();
    return;
  }
  history_batch_->Add(*history_, events_->source(), events_->TakeHistory(),
                      [events = events_](const std::vector<HistoryRow>& rows,
                                         const std::vector<std::size_t>& failed,
                                         const std::string& why) {
                        events->HistoryStored(rows, failed, why);
                      });
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
  if (!held_.empty()) {
    if (Clock::now() < held_until_) return Waiting(held_until_);
    WriteHeld();
  }
  if (Clock::now() < rest_of_frame_) return Waiting(rest_of_frame_);
  if (!line_->is_open()) {
    if (Clock::now() < next_reopen_)
      return Waiting(std::min(next_reopen_, NextValuesShowing(values_shown_, values_expire_)));
    SiteWait wait = Waiting(next_reopen_);
    wait.reopen = true;
    return wait;
  }
  if (readable) {
    std::size_t received = 0;
    switch (line_->Read(buffer_.data(), buffer_.size(), received, 0)) {
      case Line::ReadResult::kData:
        Received(received);
        break;
      case Line::ReadResult::kGone:
        LineLost("hung up");
        break;
      case Line::ReadResult::kNothing:
        break;
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
    // No cycle: the values are shown again every 10 s, and at the moment the plug-in starts
    // refusing them, so their ageing shows.
    const Clock::time_point now = Clock::now();
    const bool expiring = values_shown_ < values_expire_ && now >= values_expire_;
    if (now - values_shown_ >= kValuesInterval || expiring) {
      values_shown_ = now;
      StoreHistory();  // the rows of units that closed a cycle the site did not
      ReportValues(fmt::format("no cycle completed - line {}", line_state_.status().state));
    }
  }
  if (!held_.empty()) return Waiting(held_until_);
  if (Clock::now() < rest_of_frame_) return Waiting(rest_of_frame_);
  if (!line_->is_open()) return Waiting(Clock::now());  // lost: the next step reopens it
  // Wait until bytes come or something is due: the poll's own next step (reply time-out, end
  // of the quiet time) or the next showing of the values.
  const LoopClocks before = LoopClocks::Now();
  composite_->RefreshStatus();
  return Waiting(std::min(NextRefresh(ExchangeStateOf(*composite_), before,
                                      settings_.cycle_start_offset),
                          NextValuesShowing(values_shown_, values_expire_)),
                 line_->fd());
}

void Site::Run(const std::function<bool()>& stop) {
  bool readable = false;
  while (!stop()) {
    const SiteWait wait = Step(readable);
    if (wait.done) break;
    if (wait.reopen) {
      Reopen();
      readable = false;
      continue;
    }
    readable = WaitReadable(wait.fd, wait.until);
  }
}

void Site::Finish() {
  if (finished_) return;
  finished_ = true;
  if (composite_) composite_->AttachPort(nullptr);
  if (controller_) {
    controller_->Drain();
    controller_->Shutdown();
  }
  events_->StoreHistory();
  units_.clear();
  composite_.reset();
  line_->Close();
}

}  // namespace k426b_host
