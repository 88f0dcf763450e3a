#include "tests/support/recording_host.h"

#include <cctype>
#include <stdexcept>
#include <utility>

#define K426B_RECORD(list, ...)               \
  do {                                        \
    std::lock_guard<std::mutex> lock(mutex_); \
    list.push_back({__VA_ARGS__});            \
  } while (0)

void RecordingEvents::OnQuery(unsigned data_id, unsigned char cid1, unsigned char cid2,
                              const Bytes& info, const std::string& frame) {
  K426B_RECORD(queries_, data_id, cid1, cid2, info, frame);
}
void RecordingEvents::OnReply(unsigned data_id, unsigned char cid1, unsigned char rtn,
                              const Bytes& info) {
  K426B_RECORD(replies_, data_id, cid1, rtn, info);
}
void RecordingEvents::OnFrameError(unsigned data_id, const std::string& reason,
                                   const Bytes& dropped) {
  K426B_RECORD(frame_errors_, data_id, reason, dropped);
}
void RecordingEvents::OnLog(unsigned data_id, const std::string& text) {
  K426B_RECORD(logs_, data_id, text);
}
void RecordingEvents::OnSnapshot(unsigned data_id, int record_type, const Bytes& snapshot) {
  K426B_RECORD(snapshots_, data_id, record_type, snapshot);
}
void RecordingEvents::OnRule(unsigned data_id, const rule_value& rule) {
  std::function<void(unsigned, const rule_value&)> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back({data_id, rule});
    hook = rule_hook_;
  }
  if (hook) hook(data_id, rule);
}
void RecordingEvents::SetRuleHook(std::function<void(unsigned, const rule_value&)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  rule_hook_ = std::move(hook);
}
void RecordingEvents::OnAlarm(unsigned data_id, const rule_value& rule, bool raised) {
  K426B_RECORD(alarms_, data_id, rule, raised);
}
void RecordingEvents::OnHistory(unsigned data_id, int record_type, const Bytes& snapshot) {
  K426B_RECORD(history_, data_id, record_type, snapshot);
}
void RecordingEvents::OnCycle(unsigned, unsigned number) {
  std::lock_guard<std::mutex> lock(mutex_);
  cycles_.push_back(number);
}

#undef K426B_RECORD

#define K426B_COPY(name)                                              \
  std::lock_guard<std::mutex> lock(mutex_);                           \
  return name##_;

std::vector<RecordedQuery> RecordingEvents::queries() const { K426B_COPY(queries) }
std::vector<RecordedReply> RecordingEvents::replies() const { K426B_COPY(replies) }
std::vector<RecordedFrameError> RecordingEvents::frame_errors() const { K426B_COPY(frame_errors) }
std::vector<RecordedLog> RecordingEvents::logs() const { K426B_COPY(logs) }
std::vector<RecordedSnapshot> RecordingEvents::snapshots() const { K426B_COPY(snapshots) }
std::vector<RecordedRule> RecordingEvents::rules() const { K426B_COPY(rules) }
std::vector<RecordedAlarm> RecordingEvents::alarms() const { K426B_COPY(alarms) }
std::vector<RecordedSnapshot> RecordingEvents::history() const { K426B_COPY(history) }
std::vector<unsigned> RecordingEvents::cycles() const { K426B_COPY(cycles) }

#undef K426B_COPY

std::vector<std::string> RecordingEvents::log_texts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> texts;
  for (const RecordedLog& log : logs_) texts.push_back(log.text);
  return texts;
}

void RecordingEvents::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  queries_.clear();
  replies_.clear();
  frame_errors_.clear();
  logs_.clear();
  snapshots_.clear();
  rules_.clear();
  alarms_.clear();
  history_.clear();
  cycles_.clear();
}

Bytes hex_bytes(const std::string& text) {
  Bytes bytes;
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::invalid_argument("not hex: " + text);
    const int nibble = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
    if (high < 0) {
      high = nibble;
    } else {
      bytes.push_back(static_cast<unsigned char>(high * 16 + nibble));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd hex: " + text);
  return bytes;
}
