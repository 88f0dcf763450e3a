#pragma once

#include <string>
#include <vector>

#include "host/export.h"
#include "host/rule_value.h"

using Bytes = std::vector<unsigned char>;

// Everything the host sees its devices do. Tests implement it to record; the bench host to
// print, store and stream. Calls come from the serial thread, except OnAlarm, OnHistory and
// OnRetired, which come from the threshold worker.
class ZVK_API HostEvents {
 public:
  virtual ~HostEvents();
  virtual void OnQuery(unsigned data_id, unsigned char cid1, unsigned char cid2, const Bytes& info,
                       const std::string& frame);
  // Every valid frame received; rtn is the reply's return code.
  virtual void OnReply(unsigned data_id, unsigned char cid1, unsigned char rtn, const Bytes& info);
  virtual void OnFrameError(unsigned data_id, const std::string& reason, const Bytes& dropped);
  virtual void OnLog(unsigned data_id, const std::string& text);
  virtual void OnSnapshot(unsigned data_id, int record_type, const Bytes& snapshot);
  virtual void OnRule(unsigned data_id, const rule_value& rule);
  virtual void OnAlarm(unsigned data_id, const rule_value& rule, bool raised);
  virtual void OnHistory(unsigned data_id, int record_type, const Bytes& snapshot);
  // A composite device completed cycle `number` (counted from 1) and called Reset().
  virtual void OnCycle(unsigned data_id, unsigned number);
  // The threshold engine retired a rule no longer reported: it forgot its state, and the rule,
  // stated again, is a first sighting. From the threshold worker.
  virtual void OnRetired(unsigned data_id, const std::string& rule_id,
                         const std::string& description);
};
