// Drives a whole composite device -- two AC units, two DC units and the rectifier -- through its
// serial entry point: every query it sends is answered from the input, either with a valid frame
// that carries fuzzed information bytes (and a fuzzed return code or CID1 now and then) or with
// raw bytes. Nothing may be read outside a reply, and afterwards every unit answers Get_Value
// with a value or std::out_of_range alone and takes back the last snapshot it published.
//
// Input, read front to back until it runs out (at most kMaxTurns turns):
//   op byte: bits 0-1 kind (0/1 valid frame, 2 raw bytes, 3 no answer), bit 2 a fuzzed RTN byte
//            follows, bit 3 a fuzzed CID1 byte follows, bits 4-7 chunk size for process (0: all)
//   [rtn] [cid1] length (2 bytes, LSB first, at most 2047) then that many bytes.

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/value.h>

#include "fuzz/fuzz_support.h"
#include "host/frame_codec.h"
#include "plugin/k426b.h"

// The composite device pauses 20 ms before each reply it handles; the harness takes the pause
// out by standing in for the C library's usleep.
extern "C" int usleep(useconds_t) { return 0; }

namespace {

using k426b_fuzz::require;

// Enough for the model query and three cycles.
constexpr int kMaxTurns = 36;

// Lets a query the input leaves unanswered time out at once instead of after the reply time-out.
class FuzzedK426B : public K426B {
 public:
  void ExpireRequest() { request_time_ = std::chrono::steady_clock::time_point{}; }
};

Json::Value Configuration() {
  Json::Value config;
  config["data_id"] = 100;
  config["address"] = 1;
  for (unsigned id : {101u, 102u}) {
    Json::Value unit;
    unit["data_id"] = id;
    unit["appSetting"]["diff_v"] = 20;
    unit["appSetting"]["diff_i"] = 20;
    config["acSetting"].append(unit);
  }
  for (unsigned id : {201u, 202u}) {
    Json::Value unit;
    unit["data_id"] = id;
    config["dcSetting"].append(unit);
  }
  config["rcSetting"] = Json::objectValue;
  return config;
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::vector<unsigned char> bytes(std::size_t count) {
    count = std::min(count, size_ - at_);
    std::vector<unsigned char> taken(data_ + at_, data_ + at_ + count);
    at_ += count;
    return taken;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

void feed(FuzzedK426B& device, std::string bytes, std::size_t chunk) {
  if (chunk == 0) chunk = bytes.size();
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    // An exact-size copy of each piece, so that a read past it is seen.
    std::vector<unsigned char> piece(bytes.begin() + at,
                                     bytes.begin() + std::min(bytes.size(), at + chunk));
    device.process(piece.data(), static_cast<unsigned>(piece.size()));
  }
}

// Each kind of key a unit serves, one it does not, and one channel out of range.
const std::vector<std::string>& KeysOf(const std::string& device_type) {
  static const std::vector<std::string> ac = {"ia", "ic_alert", "channel_0_a", "channel_1_f",
                                              "channel_9_b", "no_key"};
  static const std::vector<std::string> dc = {"v", "i", "no_key"};
  static const std::vector<std::string> other = {"v"};
  return device_type == "k426b-ac" ? ac : device_type == "k426b-dc" ? dc : other;
}

void check_values(FuzzedK426B& device, const std::map<unsigned, Bytes>& snapshots) {
  for (const auto& child : device.GetAllChildVDevices()) {
    require(child != nullptr);
    for (const std::string& key : KeysOf(child->DeviceType())) {
      try {
        child->Get_Value(child->DataId(), key);
      } catch (const std::out_of_range&) {
      }
    }
    const auto snapshot = snapshots.find(child->DataId());
    if (snapshot == snapshots.end()) continue;
    const Bytes& image = snapshot->second;
    const bool loaded = child->LoadFromCache(image.data(), static_cast<int>(image.size()));
    // An AC image without channels carries nothing to load; every other image loads back.
    const bool ac_without_channels = child->DeviceType() == "k426b-ac" && image.size() > 16 &&
                                     image[16] == 0;
    require(loaded == !ac_without_channels);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  k426b_fuzz::silence_stdout();
  // The controller keeps the last state of every rule it has seen; a fresh one now and then keeps
  // that bounded whatever the inputs named.
  static unsigned inputs = 0;
  static auto shared_host = std::make_unique<k426b_fuzz::QuietHost>();
  if (++inputs % 4096 == 0) shared_host = std::make_unique<k426b_fuzz::QuietHost>();
  const k426b_fuzz::QuietHost& host = *shared_host;
  // Any time more than two seconds back ends the quiet time.
  static const boost::posix_time::ptime long_ago(boost::gregorian::date(2000, 1, 1));
  static const Json::Value config = Configuration();

  auto device = std::make_shared<FuzzedK426B>();
  std::string sent;
  device->AttachPort([&sent](const unsigned char* bytes, unsigned length) {
    sent.assign(reinterpret_cast<const char*>(bytes), length);
    return true;
  });
  require(device->Init(host.controller, 100, config));

  Input input(data, size);
  for (int turn = 0; turn < kMaxTurns && !input.empty(); ++turn) {
    // Past the quiet time, and any unanswered query given up, as if the time had passed.
    device->SetLastRoundTime(long_ago);
    device->ExpireRequest();
    sent.clear();
    device->RefreshStatus();
    zvk::Frame query;
    if (!sent.empty())
      require(zvk::DecodeFrameBody(std::string_view(sent).substr(1, sent.size() - 2), query) ==
              zvk::DecodeStatus::kOk);

    const uint8_t op = input.byte();
    const uint8_t rtn = (op & 4) ? input.byte() : 0;
    const uint8_t cid1 = (op & 8) ? input.byte() : query.cid1;
    const std::size_t length = (input.byte() | (input.byte() << 8)) & 0x7FF;
    const std::vector<unsigned char> payload = input.bytes(length);
    const std::size_t chunk = op >> 4;
    switch (op & 3) {
      case 0:
      case 1: {
        zvk::Frame reply;
        reply.ver = device->ProtocolVersion();
        reply.adr = device->Address();
        reply.cid1 = cid1;
        reply.cid2 = rtn;
        reply.info = payload;
        feed(*device, zvk::EncodeFrame(reply), chunk);
        break;
      }
      case 2:
        feed(*device, std::string(payload.begin(), payload.end()), chunk);
        break;
      default:
        break;
    }
  }

  // Rules and history of the cycles run on the threshold worker; let them finish first.
  host.controller->Drain();
  check_values(*device, host.events->take());
  device->AttachPort(nullptr);
  return 0;
}
