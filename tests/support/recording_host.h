#pragma once

// The recording host: the one way tests observe devices. It records every query, reply, frame
// error, log line, snapshot, rule, alarm, history save and completed cycle, and owns a real
// controller (with its real threshold worker) that forwards them here.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/controller.h"
#include "host/host_events.h"

struct RecordedQuery {
  unsigned data_id;
  unsigned char cid1;
  unsigned char cid2;
  Bytes info;
  std::string frame;
};
struct RecordedReply {
  unsigned data_id;
  unsigned char cid1;
  unsigned char rtn;
  Bytes info;
};
struct RecordedFrameError {
  unsigned data_id;
  std::string reason;
  Bytes dropped;
};
struct RecordedLog {
  unsigned data_id;
  std::string text;
};
struct RecordedSnapshot {
  unsigned data_id;
  int record_type;
  Bytes bytes;
};
struct RecordedRule {
  unsigned data_id;
  rule_value rule;
};
struct RecordedAlarm {
  unsigned data_id;
  rule_value rule;
  bool raised;
};

class RecordingEvents : public HostEvents {
 public:
  void OnQuery(unsigned data_id, unsigned char cid1, unsigned char cid2, const Bytes& info,
               const std::string& frame) override;
  void OnReply(unsigned data_id, unsigned char cid1, unsigned char rtn, const Bytes& info) override;
  void OnFrameError(unsigned data_id, const std::string& reason, const Bytes& dropped) override;
  void OnLog(unsigned data_id, const std::string& text) override;
  void OnSnapshot(unsigned data_id, int record_type, const Bytes& snapshot) override;
  void OnRule(unsigned data_id, const rule_value& rule) override;
  void OnAlarm(unsigned data_id, const rule_value& rule, bool raised) override;
  void OnHistory(unsigned data_id, int record_type, const Bytes& snapshot) override;
  void OnCycle(unsigned data_id, unsigned number) override;

  // Copies, taken under the lock (alarms and history come from the threshold worker).
  std::vector<RecordedQuery> queries() const;
  std::vector<RecordedReply> replies() const;
  std::vector<RecordedFrameError> frame_errors() const;
  std::vector<RecordedLog> logs() const;
  std::vector<std::string> log_texts() const;
  std::vector<RecordedSnapshot> snapshots() const;
  std::vector<RecordedRule> rules() const;
  std::vector<RecordedAlarm> alarms() const;
  std::vector<RecordedSnapshot> history() const;
  std::vector<unsigned> cycles() const;
  void clear();

  // Runs `hook` after each rule is recorded, on the thread that recorded it and outside the
  // recorder's lock: a test acts inside a device's cycle at a point of its choosing.
  void SetRuleHook(std::function<void(unsigned data_id, const rule_value& rule)> hook);

 private:
  mutable std::mutex mutex_;
  std::vector<RecordedQuery> queries_;
  std::vector<RecordedReply> replies_;
  std::vector<RecordedFrameError> frame_errors_;
  std::vector<RecordedLog> logs_;
  std::vector<RecordedSnapshot> snapshots_;
  std::vector<RecordedRule> rules_;
  std::vector<RecordedAlarm> alarms_;
  std::vector<RecordedSnapshot> history_;
  std::vector<unsigned> cycles_;
  std::function<void(unsigned, const rule_value&)> rule_hook_;
};

// A controller wired to a RecordingEvents.
struct RecordingHost {
  RecordingHost()
      : events(std::make_shared<RecordingEvents>()),
        controller(std::make_shared<ZVKController>(events)) {}
  // Devices may outlive the host in a test; their queued work runs before it goes.
  ~RecordingHost() { drain(); }
  // Waits for the threshold worker, so alarms and history saves are visible.
  void drain() { controller->Drain(); }

  std::shared_ptr<RecordingEvents> events;
  std::shared_ptr<ZVKController> controller;
};

// Hex text (spaces allowed) to bytes, for readable test vectors.
Bytes hex_bytes(const std::string& text);
