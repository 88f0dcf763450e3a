// Feeds arbitrary bytes to the AC unit's three reply parsers, its cache load and its value
// look-up, each from an exact-size copy, then closes a cycle over whatever they stored. Nothing
// may be read outside an input, each result must be one its reply can give, a look-up may only
// refuse with std::out_of_range, the channel-key matcher must agree with the regular expression
// it stands for, and the published snapshot must match the screen count it carries, so that it
// loads back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/controller.h"
#include "host/host_events.h"
#include "units/ac/channel_key.h"
#include "units/ac/k426b_ac.h"

namespace {

class LastSnapshot : public HostEvents {
 public:
  void OnSnapshot(unsigned, int, const Bytes& snapshot) override {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot_ = snapshot;
  }
  Bytes take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(snapshot_);
  }

 private:
  std::mutex mutex_;
  Bytes snapshot_;
};

struct Host {
  std::shared_ptr<LastSnapshot> events = std::make_shared<LastSnapshot>();
  std::shared_ptr<ZVKController> controller = std::make_shared<ZVKController>(events);
  std::shared_ptr<ZVKSPDevice> parent = std::make_shared<ZVKSPDevice>();
  Host() { parent->Init(controller, 1, Json::Value()); }
};

int parse(K426BAC& unit, int (K426BAC::*parser)(const unsigned char*, int),
          const std::vector<unsigned char>& input) {
  std::vector<unsigned char> exact(input);
  return (unit.*parser)(exact.data(), static_cast<int>(exact.size()));
}

void require(bool condition) {
  if (!condition) std::abort();
}

void check_channel_key(const std::string& key) {
  static const std::regex pattern("channel_(\\d+)_(.+?)");
  std::smatch found;
  const bool regex_found = std::regex_search(key, found, pattern);
  const std::optional<ChannelKey> matched = find_channel_key(key);
  require(matched.has_value() == regex_found);
  if (regex_found) {
    require(std::string(matched->digits) == found[1].str());
    require(std::string(1, matched->value_name) == found[2].str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
  (void)quiet;
  static Host host;
  if (size == 0) return 0;

  // The first byte picks whether the screen count comes from a cache image or an analog reply.
  const bool from_cache = data[0] & 1;
  const std::vector<unsigned char> input(data + 1, data + size);
  const int length = static_cast<int>(input.size());
  auto unit = std::make_shared<K426BAC>();
  unit->InitV(host.parent.get(), 7, Json::Value());

  if (from_cache)
    unit->LoadFromCache(std::vector<unsigned char>(input).data(), length);
  const int analog = parse(*unit, &K426BAC::parse40_41, input);
  require(analog >= -1 && analog <= length);
  const int switches = parse(*unit, &K426BAC::parse40_43, input);
  // A miscounted user part is counted without being read, so it may exceed the input.
  const std::size_t user_count_at = input.empty() ? 0 : 1u + input[0];
  const bool miscounted_user_part =
      !input.empty() && input[0] <= 8 && user_count_at < input.size() &&
      switches == static_cast<int>(1 + user_count_at + input[user_count_at]);
  require(switches >= -1 && (switches <= length || miscounted_user_part));
  const int alarms = parse(*unit, &K426BAC::parse40_44, input);
  require(alarms >= -1 && alarms <= length);

  const std::string key(input.begin(), input.end());
  if (key.size() <= 64) check_channel_key(key);
  for (const std::string& look_up : {key, std::string("channel_0_a"), std::string("ia_alert")}) {
    try {
      unit->Get_Value(7, look_up);
    } catch (const std::out_of_range&) {
    }
  }

  unit->RoundDone();
  host.controller->Drain();
  const Bytes snapshot = host.events->take();
  require(snapshot.size() >= 39 && snapshot.size() == 39 + 29 * std::size_t{snapshot[16]});
  auto reloaded = std::make_shared<K426BAC>();
  require(reloaded->LoadFromCache(snapshot.data(), static_cast<int>(snapshot.size())) ==
          (snapshot[16] != 0));
  return 0;
}
