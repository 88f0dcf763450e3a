#include "tools/host/mqtt/mqtt_output.h"

#include <poll.h>
#include <unistd.h>

#include <vector>

#include "tools/common/version.h"
#include "tools/host/system/host_log.h"

namespace k426b_host {

namespace {

// The longest the thread sleeps: how late it may see a change of the status or a due connect.
constexpr int kPollMilliseconds = 100;

std::string DefaultClientId() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "k426b-host";
  return std::string("k426b-") + name;
}

}  // namespace

MqttOutput::MqttOutput(const MqttSettings& settings, const StatusView& status)
    : settings_(settings), status_(status) {
  if (settings_.client_id.empty()) settings_.client_id = DefaultClientId();
  host_client_ = std::make_unique<MqttClient>(settings_, settings_.client_id,
                                              HostTopic(settings_) + "/status", "offline");
  if (settings_.discovery) {
    // The controller says `online` on its status topic when it starts: it has forgotten the
    // configurations that were not retained, so every one is sent again.
    host_client_->Subscribe(settings_.discovery_prefix + "/status");
    host_client_->OnMessage([this](const std::string&, const std::string& payload) {
      if (payload == "online") announce_discovery_ = true;
    });
  }
  thread_ = std::thread([this] { Run(); });
}

MqttOutput::~MqttOutput() {
  stop_ = true;
  thread_.join();
}

MqttHealth MqttOutput::Health() const { return {connected_, published_, dropped_}; }

void MqttOutput::Queue(SiteChannel& channel, MqttMessage message, bool change) {
  if (!change) {
    std::string topic = message.topic;
    channel.latest[topic] = std::move(message);
    return;
  }
  // The oldest change goes first, so that the newest alarms, the ones in force, always reach
  // the broker.
  if (channel.alarms.size() >= settings_.alarm_queue && !channel.alarms.empty()) {
    channel.alarms.pop_front();
    ++dropped_;
  }
  channel.alarms.push_back(std::move(message));
}

void MqttOutput::Observe(const SiteStatus& site, SiteChannel& channel) {
  MqttMessage line = LineMessage(settings_, site);
  if (line.payload != channel.line) {
    channel.line = line.payload;
    Queue(channel, std::move(line), false);
  }
  const bool new_cycle = site.counters.cycles != channel.cycles;
  if (new_cycle) {
    channel.cycles = site.counters.cycles;
    for (const UnitStatus& unit : site.units)
      Queue(channel, StateMessage(settings_, site, unit), false);
  }
  for (unsigned data_id : UnitIds(site)) {
    MqttMessage alarms = AlarmsMessage(settings_, site, data_id);
    auto [last, first] = channel.alarm_lists.try_emplace(data_id);
    if (!first && alarms.payload == last->second.payload) continue;
    // A change raises or clears an alarm; the first list of a unit (on this connection) and a
    // list that only names more rules seen are its state.
    std::string active = ActiveAlarmKeys(site, data_id);
    const bool change = !first && active != last->second.active;
    last->second = {alarms.payload, std::move(active)};
    Queue(channel, std::move(alarms), change);
  }
  if (settings_.discovery && (new_cycle || channel.configs.empty())) {
    for (MqttMessage& config : DiscoveryMessages(settings_, site, K426B_VERSION_STRING)) {
      std::string& last = channel.configs[config.topic];
      if (config.payload == last) continue;
      last = config.payload;
      Queue(channel, std::move(config), false);
    }
  }
}

void MqttOutput::Flush(SiteChannel& channel) {
  MqttClient& client = *channel.client;
  while (!channel.alarms.empty() && client.connected()) {
    const MqttMessage& message = channel.alarms.front();
    if (!client.Publish(message.topic, message.payload, message.qos, message.retain)) break;
    ++published_;
    channel.alarms.pop_front();
  }
  for (auto it = channel.latest.begin(); it != channel.latest.end() && client.connected();) {
    if (!client.Publish(it->second.topic, it->second.payload, it->second.qos, it->second.retain))
      break;
    ++published_;
    it = channel.latest.erase(it);
  }
}

void MqttOutput::Poll() {
  std::vector<MqttClient*> clients = {host_client_.get()};
  for (auto& [name, channel] : sites_) clients.push_back(channel.client.get());
  std::vector<pollfd> fds;
  std::vector<MqttClient*> polled;
  for (MqttClient* client : clients) {
    if (client->socket() < 0) continue;
    short events = POLLIN;
    if (client->wants_write()) events |= POLLOUT;
    fds.push_back({client->socket(), events, 0});
    polled.push_back(client);
  }
  ::poll(fds.data(), fds.size(), kPollMilliseconds);
  const auto now = MqttClient::Clock::now();
  for (std::size_t i = 0; i < fds.size(); ++i)
    polled[i]->Service((fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0,
                       (fds[i].revents & POLLOUT) != 0, now);
  for (MqttClient* client : clients)
    if (client->socket() < 0) client->Service(false, false, now);
}

void MqttOutput::Run() {
  unsigned long long seen = 0;
  bool first = true;
  while (!stop_) {
    Poll();
    if (host_client_->TakeNewConnection()) {
      HostLog().info("MQTT: connected to {}:{} as {}", settings_.host, settings_.port,
                     settings_.client_id);
      if (host_client_->Publish(HostTopic(settings_) + "/status", "online", 1, true)) ++published_;
    }
    connected_ = host_client_->connected();
    bool changed = first || status_.generation() != seen || announce_discovery_;
    for (auto& [name, channel] : sites_) {
      if (!channel.client->TakeNewConnection()) continue;
      // A new connection (a restarted broker may have lost every retained message): the site is
      // online again and its whole state goes out again.
      if (channel.client->Publish(SiteTopic(settings_, name) + "/status", "online", 1, true))
        ++published_;
      channel.cycles = ~0ull;
      channel.line.clear();
      channel.alarm_lists.clear();
      channel.configs.clear();
      changed = true;
    }
    if (changed) {
      first = false;
      seen = status_.generation();
      if (announce_discovery_)
        for (auto& [name, channel] : sites_) channel.configs.clear();
      announce_discovery_ = false;
      std::map<std::string, bool> present;
      for (const SiteStatus& site : status_.Sites()) {
        present[site.name] = true;
        auto [it, added] = sites_.try_emplace(site.name);
        if (added) {
          const std::string topic = SiteTopic(settings_, site.name);
          it->second.client = std::make_unique<MqttClient>(
              settings_, settings_.client_id + "-" + TopicLevel(site.name), topic + "/status",
              "offline");
          it->second.client->Quiet();
        }
        Observe(site, it->second);
      }
      for (auto it = sites_.begin(); it != sites_.end();) {
        if (present.count(it->first) != 0) {
          ++it;
          continue;
        }
        it->second.client->Close("offline");
        it = sites_.erase(it);
      }
    }
    for (auto& [name, channel] : sites_) Flush(channel);
  }
  for (auto& [name, channel] : sites_) {
    Flush(channel);
    channel.client->Close("offline");
  }
  host_client_->Close("offline");
}

}  // namespace k426b_host
