#pragma once

// What readers see of the broker output: whether the host is connected to the broker, how many
// messages it handed to the broker and how many a full queue dropped while it could not.

namespace k426b_host {

struct MqttHealth {
  bool connected = false;            // the host's own connection is up
  unsigned long long published = 0;  // messages handed to the broker connection
  unsigned long long dropped = 0;    // alarm messages a full queue dropped
};

class MqttHealthView {
 public:
  virtual ~MqttHealthView() = default;
  // The health now; never waits on the broker.
  virtual MqttHealth Health() const = 0;
};

}  // namespace k426b_host
