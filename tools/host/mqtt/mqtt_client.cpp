#include "tools/host/mqtt/mqtt_client.h"

#include <mosquitto.h>

#include <algorithm>
#include <mutex>

#include "tools/host/system/host_log.h"

namespace k426b_host {

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{250};
constexpr std::chrono::milliseconds kLongestBackoff{30000};
// A connection that has not been accepted by then is given up and tried again.
constexpr std::chrono::seconds kConnectTimeout{15};
constexpr int kKeepAliveSeconds = 30;
// Messages a connection holds unsent or unacknowledged at most.
constexpr std::size_t kMostUnsent = 256;

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

MqttClient::MqttClient(const MqttSettings& settings, const std::string& client_id,
                       const std::string& will_topic, const std::string& will_payload)
    : settings_(settings), will_topic_(will_topic) {
  InitLibrary();
  handle_ = mosquitto_new(client_id.c_str(), /*clean_session=*/true, this);
  if (handle_ == nullptr) {
    HostLog().error("MQTT: cannot make a client for {}", client_id);
    return;
  }
  mosquitto_int_option(handle_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  int rc = mosquitto_will_set(handle_, will_topic.c_str(), static_cast<int>(will_payload.size()),
                              will_payload.data(), 1, true);
  if (rc == MOSQ_ERR_SUCCESS && !settings.user.empty())
    rc = mosquitto_username_pw_set(handle_, settings.user.c_str(),
                                   settings.password.empty() ? nullptr : settings.password.c_str());
  if (rc == MOSQ_ERR_SUCCESS && settings.tls) {
    rc = settings.ca_file.empty()
             ? mosquitto_tls_set(handle_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
             : mosquitto_tls_set(handle_, settings.ca_file.c_str(), nullptr, nullptr, nullptr,
                                 nullptr);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    HostLog().error("MQTT: {}: {}", client_id, mosquitto_strerror(rc));
    return;
  }
  mosquitto_connect_callback_set(handle_, [](mosquitto*, void* self, int result) {
    auto* client = static_cast<MqttClient*>(self);
    if (result != 0) {
      if (!client->quiet_ && client->backoff_ == kFirstBackoff)
        HostLog().warn("MQTT: the broker refused the connection: {}",
                       mosquitto_connack_string(result));
      client->Lost(Clock::now());
      return;
    }
    client->connecting_ = false;
    client->connected_ = true;
    client->unsent_.clear();
    client->new_connection_ = true;
    client->backoff_ = kFirstBackoff;
    for (const std::string& topic : client->subscriptions_)
      mosquitto_subscribe(client->handle_, nullptr, topic.c_str(), 0);
  });
  mosquitto_publish_callback_set(handle_, [](mosquitto*, void* self, int id) {
    auto* client = static_cast<MqttClient*>(self);
    // Every message handed over before is among the unsent: one that is not is the one being
    // handed over now.
    if (client->unsent_.erase(id) == 0 && client->handing_over_) client->sent_at_once_ = true;
  });
  mosquitto_message_callback_set(
      handle_, [](mosquitto*, void* self, const mosquitto_message* message) {
        auto* client = static_cast<MqttClient*>(self);
        if (!client->on_message_ || message->topic == nullptr) return;
        const char* bytes = static_cast<const char*>(message->payload);
        client->on_message_(message->topic,
                            std::string(bytes, bytes + std::max(message->payloadlen, 0)));
      });
  usable_ = true;
}

MqttClient::~MqttClient() {
  if (handle_ != nullptr) mosquitto_destroy(handle_);
}

void MqttClient::OnMessage(std::function<void(const std::string&, const std::string&)> call) {
  on_message_ = std::move(call);
}

void MqttClient::Subscribe(const std::string& topic) {
  subscriptions_.push_back(topic);
  if (connected_) mosquitto_subscribe(handle_, nullptr, topic.c_str(), 0);
}

int MqttClient::socket() const {
  return handle_ == nullptr || (!connected_ && !connecting_) ? -1 : mosquitto_socket(handle_);
}

bool MqttClient::wants_write() const { return socket() >= 0 && mosquitto_want_write(handle_); }

bool MqttClient::TakeNewConnection() {
  const bool fresh = new_connection_;
  new_connection_ = false;
  return fresh;
}

void MqttClient::Connect(Clock::time_point now) {
  // The name lookup of the broker's host runs here, on the output's own thread, never on a
  // serial loop; the TCP connect does not wait.
  const int rc =
      mosquitto_connect_async(handle_, settings_.host.c_str(), settings_.port, kKeepAliveSeconds);
  if (rc != MOSQ_ERR_SUCCESS) {
    Lost(now);
    return;
  }
  connecting_ = true;
  connect_deadline_ = now + kConnectTimeout;
}

void MqttClient::Lost(Clock::time_point now) {
  connected_ = false;
  connecting_ = false;
  next_attempt_ = now + backoff_;
  backoff_ = std::min(backoff_ * 2, kLongestBackoff);
}

void MqttClient::Service(bool readable, bool writable, Clock::time_point now) {
  if (!usable_) return;
  if (!connected_ && !connecting_) {
    if (now >= next_attempt_) Connect(now);
    return;
  }
  if (socket() < 0) {
    Lost(now);
    return;
  }
  int rc = MOSQ_ERR_SUCCESS;
  if (readable) rc = mosquitto_loop_read(handle_, 1);
  if (rc == MOSQ_ERR_SUCCESS && writable && socket() >= 0) rc = mosquitto_loop_write(handle_, 1);
  if (rc == MOSQ_ERR_SUCCESS && socket() >= 0) rc = mosquitto_loop_misc(handle_);
  const bool timed_out = connecting_ && now >= connect_deadline_;
  if (rc != MOSQ_ERR_SUCCESS || socket() < 0 || timed_out) {
    if (connected_ && !quiet_)
      HostLog().warn("MQTT: lost the broker {}:{}", settings_.host, settings_.port);
    mosquitto_disconnect(handle_);
    Lost(now);
  }
}

bool MqttClient::Publish(const std::string& topic, const std::string& payload, int qos,
                         bool retain) {
  if (!connected_ || unsent_.size() >= kMostUnsent) return false;
  return HandOver(topic, payload, qos, retain);
}

bool MqttClient::HandOver(const std::string& topic, const std::string& payload, int qos,
                          bool retain) {
  int id = 0;
  handing_over_ = true;
  sent_at_once_ = false;
  const int rc = mosquitto_publish(handle_, &id, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), qos, retain);
  handing_over_ = false;
  if (rc != MOSQ_ERR_SUCCESS) return false;
  if (!sent_at_once_) unsent_.insert(id);
  return true;
}

void MqttClient::Close(const std::string& payload) {
  if (!connected_) return;
  HandOver(will_topic_, payload, 1, true);  // past the bound: the goodbye is never refused
  // Written out now: the goodbye must reach the broker before the connection closes.
  for (int round = 0; round < 50 && socket() >= 0 && mosquitto_want_write(handle_); ++round)
    if (mosquitto_loop_write(handle_, 1) != MOSQ_ERR_SUCCESS) break;
  mosquitto_disconnect(handle_);
  mosquitto_loop_write(handle_, 1);
  connected_ = false;
}

}  // namespace k426b_host
