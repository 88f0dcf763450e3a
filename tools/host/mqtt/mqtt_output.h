#pragma once

// The broker output: one more reader of the sites' status. A thread of its own watches the status
// view and publishes, for every site on a connection of the site's own (whose last will marks the
// site offline), its line, each unit's state once a cycle, its alarms on every change and its
// discovery configurations; a host-wide connection carries the host's status. While a broker
// is away or reads slowly, messages wait: the newest per topic, and alarm messages in order up
// to a bound, then counted as dropped. No serial loop ever waits on it.

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "tools/host/mqtt/mqtt_client.h"
#include "tools/host/mqtt/mqtt_payloads.h"
#include "tools/host/mqtt/mqtt_settings.h"
#include "tools/host/status/mqtt_health.h"
#include "tools/host/status/status_view.h"

namespace k426b_host {

class MqttOutput : public MqttHealthView {
 public:
  MqttOutput(const MqttSettings& settings, const StatusView& status);
  // Says goodbye (offline) on every connection, then ends the thread.
  ~MqttOutput() override;
  MqttOutput(const MqttOutput&) = delete;
  MqttOutput& operator=(const MqttOutput&) = delete;

  MqttHealth Health() const override;

 private:
  // What one site's connection has published and what waits for it.
  struct SiteChannel {
    std::unique_ptr<MqttClient> client;
    std::map<std::string, MqttMessage> latest;  // by topic: the newest wins
    std::deque<MqttMessage> alarms;             // in order, up to the bound
    unsigned long long cycles = ~0ull;          // the cycle count last published
    std::string line;                           // the line message last queued
    struct AlarmList {
      std::string payload;  // the list last queued
      std::string active;   // the keys of its active alarms
    };
    std::map<unsigned, AlarmList> alarm_lists;   // by data id: the alarms last queued
    std::map<std::string, std::string> configs;  // by topic: the discovery last queued
  };

  void Run();
  void Observe(const SiteStatus& site, SiteChannel& channel);
  void Flush(SiteChannel& channel);
  // A `change` (of a unit's alarms) waits in order; any other message replaces the one waiting
  // for its topic.
  void Queue(SiteChannel& channel, MqttMessage message, bool change);
  void Poll();

  MqttSettings settings_;
  const StatusView& status_;
  std::unique_ptr<MqttClient> host_client_;
  std::map<std::string, SiteChannel> sites_;
  bool announce_discovery_ = false;  // the controller asked for the configurations again
  std::atomic<bool> stop_{false};
  std::atomic<bool> connected_{false};
  std::atomic<unsigned long long> published_{0};
  std::atomic<unsigned long long> dropped_{0};
  std::thread thread_;
};

}  // namespace k426b_host
