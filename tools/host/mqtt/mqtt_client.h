#pragma once

// One connection to the broker through libmosquitto, driven from outside: the owner polls its
// socket and calls Service, so the connection never has a thread of its own and never blocks.
// The connection carries a retained last will; it is connected again with back-off (250 ms,
// doubling to 30 s) after a failure or a lost broker.

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tools/host/mqtt/mqtt_settings.h"

struct mosquitto;

namespace k426b_host {

class MqttClient {
 public:
  using Clock = std::chrono::steady_clock;
  // `will_topic` gets `will_payload` (retained, QoS 1) from the broker when the connection is
  // lost without a goodbye.
  MqttClient(const MqttSettings& settings, const std::string& client_id,
             const std::string& will_topic, const std::string& will_payload);
  ~MqttClient();
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Called with each message of a subscribed topic.
  void OnMessage(std::function<void(const std::string& topic, const std::string& payload)> call);
  void Subscribe(const std::string& topic);  // taken on every connection

  // The socket to poll (-1: none) and whether to poll it for writing too.
  int socket() const;
  bool wants_write() const;
  // Reads, writes, keeps alive, and connects again when due.
  void Service(bool readable, bool writable, Clock::time_point now);

  // A quiet connection does not log its losses and refusals: one connection (the host's) speaks
  // for all, so that a lost broker is one log line, not one a site.
  void Quiet() { quiet_ = true; }

  bool connected() const { return connected_; }
  // True once after each new connection: the owner publishes its state again.
  bool TakeNewConnection();
  // Hands one message to the connection; false while not connected, when refused, or while
  // the connection holds as many messages not yet sent (QoS 0) or acknowledged (QoS 1) as it
  // may: a broker that reads slowly leaves what waits with the owner, not in the connection.
  bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain);
  // A clean goodbye: `payload` on the will topic, sent, then the connection closed.
  void Close(const std::string& payload);

 private:
  void Connect(Clock::time_point now);
  void Lost(Clock::time_point now);
  bool HandOver(const std::string& topic, const std::string& payload, int qos, bool retain);

  MqttSettings settings_;
  std::string will_topic_;
  mosquitto* handle_ = nullptr;
  bool connected_ = false;
  bool connecting_ = false;
  bool new_connection_ = false;
  bool quiet_ = false;
  bool usable_ = false;  // the handle was set up (TLS, credentials, will) without error
  Clock::time_point next_attempt_{};
  Clock::time_point connect_deadline_{};
  std::chrono::milliseconds backoff_{250};
  std::set<int> unsent_;  // message ids handed over and not yet sent or acknowledged
  // While a message is handed over: whether it was sent before the hand-over returned (a QoS 0
  // message on a free socket is written at once, its id not yet known).
  bool handing_over_ = false;
  bool sent_at_once_ = false;
  std::vector<std::string> subscriptions_;
  std::function<void(const std::string&, const std::string&)> on_message_;
};

}  // namespace k426b_host
