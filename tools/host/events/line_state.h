#pragma once

// What the line to one power system is doing, told in plain words:
//   up      valid replies come within the reply time-out
//   silent  queries go unanswered since T (nothing, or only bytes the codec dropped)
//   lost    the port is gone (a USB adapter pulled, a socket closed)
// A new line is silent ("no answer yet") until its first valid reply. Every change becomes a
// `line` event and one human line; while silent a reminder follows at
// most every 10 s. Two problems of a line that answers are explained once each: a query the
// plug-in keeps repeating because no reply is usable, and a unit count that differs from the
// configuration. The clock is injected so the timing can be tested.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "tools/host/status/site_status.h"

namespace k426b_host {

class LineState {
 public:
  using Clock = std::chrono::system_clock;
  using Now = std::function<Clock::time_point()>;

  // Where the changes go: `Changed` with the new status (for the `line` event and the site's
  // status), `Say` with one human line.
  struct Output {
    virtual ~Output() = default;
    virtual void Changed(const LineStatus& status) = 0;
    virtual void Say(const std::string& line) = 0;
  };

  static constexpr std::chrono::seconds kReminderInterval{10};
  static constexpr unsigned kRefusalCount = 30;
  static constexpr std::chrono::seconds kRefusalTime{60};

  LineState(std::string port, Output& output, Now now = &Clock::now);

  void QuerySent(unsigned char cid1, unsigned char cid2);
  void ReplyReceived();
  void FrameDropped();     // bytes the codec could not use
  void QueryUnanswered();  // the plug-in gave a query up: no valid reply within its time-out
  void Lost(const std::string& reason);
  void Reopened();
  void CycleCompleted();
  // Every message the plug-in logs: the last is quoted with a refusal; a unit count message is
  // explained.
  void PluginLog(const std::string& text);
  // Why the line is silent when nothing came back: "no answer", or on a line shared with other
  // equipment "no answer from address N". Set before the first query.
  void SetSilentReason(std::string reason) { no_answer_ = std::move(reason); }
  // Called often from the serial loop: the reminder while silent.
  void Tick();

  LineStatus status() const;
  // The valid replies so far: a line that answers again shows here first.
  unsigned long long replies() const { return replies_.load(); }

 private:
  void ChangeState(LineCondition state, Clock::time_point since, const std::string& reason);
  void SetProblem(const std::string& problem);
  std::string SilentReason() const;
  std::string Reminder() const;
  void Publish();

  const std::string port_;
  Output& output_;
  const Now now_;

  // Recursive: an output may read status() while a change is being told.
  mutable std::recursive_mutex mutex_;
  LineStatus status_;
  std::string no_answer_ = "no answer";
  Clock::time_point last_query_time_{};
  Clock::time_point first_unanswered_time_{};
  Clock::time_point last_reminder_{};
  std::atomic<unsigned long long> replies_{0};
  bool received_since_query_ = false;
  unsigned dropped_since_reply_ = 0;
  std::string last_plugin_log_;

  // The query being repeated, how often and since when.
  int repeated_query_ = -1;
  unsigned repeats_ = 0;
  Clock::time_point repeating_since_{};
  bool refusal_told_ = false;

  std::string count_mismatch_;
};

// "14:03:12", local time.
std::string ClockTime(LineState::Clock::time_point time);

// The plain explanation of the plug-in's unit count message, e.g. "the power system reports 2
// AC units; the configuration lists 1 in acSetting"; empty for any other message.
std::string ExplainCountMismatch(const std::string& plugin_message);

}  // namespace k426b_host
