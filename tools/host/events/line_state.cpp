#include "tools/host/events/line_state.h"

#include <ctime>
#include <regex>

#include <fmt/format.h>

#include "tools/host/events/event_stream.h"

namespace k426b_host {

namespace {

std::string Plural(unsigned count, const char* one, const char* many) {
  return fmt::format("{} {}", count, count == 1 ? one : many);
}

}  // namespace

std::string ClockTime(LineState::Clock::time_point time) {
  const std::time_t seconds = LineState::Clock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

std::string ExplainCountMismatch(const std::string& plugin_message) {
  static const std::regex kCount(R"(read (ac|dc)_number is (\d+), configured \w+_number is (\d+))");
  std::smatch match;
  if (!std::regex_search(plugin_message, match, kCount)) return {};
  const bool ac = match[1] == "ac";
  const unsigned reported = static_cast<unsigned>(std::stoul(match[2]));
  const unsigned configured = static_cast<unsigned>(std::stoul(match[3]));
  const char* group = ac ? "AC" : "DC";
  return fmt::format("the power system reports {} {} unit{}; the configuration lists {} in {}",
                     reported, group, reported == 1 ? "" : "s", configured,
                     ac ? "acSetting" : "dcSetting");
}

LineState::LineState(std::string port, Output& output, Now now)
    : port_(std::move(port)), output_(output), now_(std::move(now)) {
  // Nothing has answered yet: up only once a valid reply came.
  first_unanswered_time_ = now_();
  status_.state = LineCondition::kSilent;
  status_.since = IsoLocalTime(first_unanswered_time_);
  status_.reason = "no answer yet";
}

LineStatus LineState::status() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return status_;
}

void LineState::Publish() { output_.Changed(status_); }

void LineState::ChangeState(LineCondition state, Clock::time_point since,
                            const std::string& reason) {
  status_.state = state;
  status_.since = IsoLocalTime(since);
  status_.reason = reason;
  status_.dropped = 0;
  if (status_.state == LineCondition::kUp) status_.unanswered = 0;
  last_reminder_ = now_();
  Publish();
  if (status_.state == LineCondition::kUp) {
    output_.Say(fmt::format("line {}: up, answering", port_));
  } else if (status_.state == LineCondition::kSilent && status_.unanswered > 0) {
    output_.Say(Reminder());
  } else if (status_.state == LineCondition::kSilent) {
    output_.Say(fmt::format("line {}: silent since {} ({})", port_, ClockTime(since), reason));
  } else {
    output_.Say(fmt::format("line {}: lost since {} ({})", port_, ClockTime(since), reason));
  }
}

void LineState::SetProblem(const std::string& problem) {
  if (status_.problem == problem) return;
  status_.problem = problem;
  Publish();
}

std::string LineState::SilentReason() const {
  if (dropped_since_reply_ > 0)
    return fmt::format("only unusable bytes ({} dropped)",
                       Plural(dropped_since_reply_, "frame", "frames"));
  return no_answer_;
}

std::string LineState::Reminder() const {
  return fmt::format("no answer from {} since {} \u2014 {} unanswered", port_,
                     ClockTime(first_unanswered_time_),
                     Plural(status_.unanswered, "query", "queries"));
}

void LineState::QuerySent(unsigned char cid1, unsigned char cid2) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Clock::time_point now = now_();
  const int query = cid1 << 8 | cid2;
  // A query sent again after something came back: the reply was not usable.
  if (query == repeated_query_ && received_since_query_) {
    ++repeats_;
  } else if (query != repeated_query_) {
    repeated_query_ = query;
    repeats_ = 1;
    repeating_since_ = now;
    refusal_told_ = false;
  }
  const bool refused_long =
      repeats_ >= kRefusalCount || (repeats_ > 1 && now - repeating_since_ >= kRefusalTime);
  if (refused_long && !refusal_told_) {
    refusal_told_ = true;
    const std::string text =
        fmt::format("0x{:02X}/0x{:02X} refused {} times: {}", cid1, cid2, repeats_,
                    last_plugin_log_.empty() ? "no usable reply" : last_plugin_log_);
    output_.Say(text);
    if (count_mismatch_.empty()) SetProblem(text);
  }
  last_query_time_ = now;
  received_since_query_ = false;
}

void LineState::ReplyReceived() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  replies_.fetch_add(1);
  received_since_query_ = true;
  dropped_since_reply_ = 0;
  if (status_.state != LineCondition::kUp) ChangeState(LineCondition::kUp, now_(), "");
}

void LineState::FrameDropped() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  received_since_query_ = true;
  ++dropped_since_reply_;
  ++status_.dropped;
}

void LineState::QueryUnanswered() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (status_.state == LineCondition::kLost) return;
  if (status_.unanswered == 0) first_unanswered_time_ = last_query_time_;
  ++status_.unanswered;
  if (status_.state == LineCondition::kUp) {
    ChangeState(LineCondition::kSilent, first_unanswered_time_, SilentReason());
  } else {
    status_.reason = SilentReason();
  }
}

void LineState::Lost(const std::string& reason) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  status_.unanswered = 0;
  ChangeState(LineCondition::kLost, now_(), reason);
}

void LineState::Reopened() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  // Reopened is not answering yet: silent until the first valid reply.
  first_unanswered_time_ = now_();
  status_.unanswered = 0;
  dropped_since_reply_ = 0;
  ChangeState(LineCondition::kSilent, first_unanswered_time_, "reopened; no answer yet");
}

void LineState::CycleCompleted() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  repeated_query_ = -1;
  repeats_ = 0;
  refusal_told_ = false;
  if (!count_mismatch_.empty()) output_.Say("the unit counts match the configuration again");
  count_mismatch_.clear();
  SetProblem("");
}

void LineState::PluginLog(const std::string& text) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  last_plugin_log_ = text;
  const std::string mismatch = ExplainCountMismatch(text);
  if (mismatch.empty() || mismatch == count_mismatch_) return;
  count_mismatch_ = mismatch;
  output_.Say(mismatch);
  SetProblem(mismatch);
}

void LineState::Tick() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (status_.state != LineCondition::kSilent) return;
  const Clock::time_point now = now_();
  if (now - last_reminder_ < kReminderInterval) return;
  last_reminder_ = now;
  if (status_.unanswered > 0) output_.Say(Reminder());
}

}  // namespace k426b_host
