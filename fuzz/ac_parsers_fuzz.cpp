// Feeds arbitrary bytes to the AC unit's three reply parsers, its cache load and its value
// look-up, each from an exact-size copy, then closes a cycle over whatever they stored. Nothing
// may be read outside an input, each result must be one its reply can give, a look-up may only
// refuse with std::out_of_range, and the published snapshot must match the screen count it
// carries, so that it loads back. (The channel-key matcher has its own harness, ac_keys_fuzz.)
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/controller.h"
#include "host/host_events.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  k426b_fuzz::silence_stdout();
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
  for (const std::string& look_up : {key, std::string("channel_0_a"), std::string("ia_alert")}) {
    try {
      unit->Get_Value(7, look_up);
    } catch (const std::out_of_range&) {
    }
  }

  // A cycle over many screens hands the threshold worker hundreds of rules, which would slow the
  // whole harness down to a few hundred inputs a second; the closing step is the same loop for
  // any number of screens, so it runs when the input announces at most 16.
  const auto announced = [&](std::size_t at) { return input.size() > at ? input[at] : 0; };
  if (announced(0) > 16 || (from_cache && announced(16) > 16)) return 0;
  unit->RoundDone();
  host.controller->Drain();
  const Bytes snapshot = host.events->take();
  require(snapshot.size() >= 39 && snapshot.size() == 39 + 29 * std::size_t{snapshot[16]});
  auto reloaded = std::make_shared<K426BAC>();
  require(reloaded->LoadFromCache(snapshot.data(), static_cast<int>(snapshot.size())) ==
          (snapshot[16] != 0));
  return 0;
}
