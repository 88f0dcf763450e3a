#include "tools/host/site/device_session.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

#include <fmt/format.h>

#include "host/controller.h"
#include "host/device.h"
#include "tools/host/site/unit_values.h"

namespace k426b_host {

namespace {

using WallClock = std::chrono::system_clock;

// A composite device from the plug-in, initialised with `config`; null when the plug-in makes
// none or refuses the configuration, with the reason in `failure`.
std::shared_ptr<ZVKSPDevice> InitialisedDevice(const LoadedPlugin& plugin,
                                               const std::shared_ptr<ZVKController>& controller,
                                               const Json::Value& config, std::string& failure) {
  std::shared_ptr<ZVKSPDevice> composite = CreateCompositeDevice(plugin, failure);
  if (!composite) return nullptr;
  const unsigned data_id = config.get("data_id", 0).asUInt();
  try {
    if (composite->Init(controller, data_id, config)) return composite;
    failure = "the plug-in rejected it (InitSetting returned false)";
  } catch (const std::exception& thrown) {
    failure = std::string("the plug-in failed on it: ") + thrown.what();
  }
  return nullptr;
}

}  // namespace

DeviceSession::DeviceSession(const LoadedPlugin& plugin, const Json::Value& config,
                             CachePolicy cache_policy, std::shared_ptr<ZVKController> controller,
                             SiteEvents& events, SiteHistory* history, SiteOutput& output)
    : plugin_(plugin),
      config_(config),
      cache_policy_(std::move(cache_policy)),
      controller_(std::move(controller)),
      events_(events),
      history_(history),
      output_(output) {}

std::string DeviceSession::Create(Send send) {
  if (composite_) {
    composite_->AttachPort(nullptr);
    controller_->Drain();
  }
  units_.clear();
  composite_.reset();
  std::string failure;
  std::shared_ptr<ZVKSPDevice> composite =
      InitialisedDevice(plugin_, controller_, config_, failure);
  if (!composite) return failure;
  for (auto& child : composite->GetAllChildVDevices())
    if (child) units_.push_back(child);
  composite->AttachPort(std::move(send));
  composite_ = std::move(composite);
  return {};
}

void DeviceSession::LoadCaches() {
  if (history_ == nullptr) return;
  events_.StoreHistory();  // the newest rows are read back: none may be left waiting
  if (!cache_policy_.enabled()) {
    output_.Say("stored values not loaded: --max-cache-age 0");
    return;
  }
  const WallClock::time_point now = WallClock::now();
  for (const auto& unit : units_) {
    const int record_type = RecordTypeOf(unit->DeviceType());
    const auto stored = history_->Newest(unit->DataId(), record_type);
    if (!stored) continue;
    const CachePolicy::Decision decision = cache_policy_.Judge(*stored, now);
    bool accepted = false;
    if (decision.offer) {
      accepted = unit->LoadFromCache(stored->bytes.data(), static_cast<int>(stored->bytes.size()));
      if (accepted)
        events_.CacheAccepted(unit->DataId(), record_type, stored->bytes,
                              now - std::chrono::duration_cast<WallClock::duration>(
                                        std::chrono::duration<double>(*decision.age_s)));
    }
    events_.Emit("cache", CacheEventJson(unit->DataId(), record_type, *stored, decision, accepted));
    const std::string what =
        fmt::format("stored values of {} {}", unit->DataId(), unit->DeviceType());
    if (!decision.offer)
      output_.Say(fmt::format("{} not used: {}", what, decision.refusal));
    else
      output_.Say(fmt::format("{} ({} old): {}", what, HumanAge(std::max(0.0, *decision.age_s)),
                              accepted ? "loaded" : "refused by the unit"));
  }
}

void DeviceSession::Detach() {
  if (composite_) composite_->AttachPort(nullptr);
}

void DeviceSession::Release() {
  units_.clear();
  composite_.reset();
}

std::string CheckDeviceWithPlugin(const LoadedPlugin& plugin, const Json::Value& config) {
  // A controller of its own, without events: what the plug-in logs while reading the
  // configuration here goes nowhere; one it takes is read, and logged, again when the site
  // makes its device.
  const auto controller = std::make_shared<ZVKController>();
  std::string failure;
  InitialisedDevice(plugin, controller, config, failure);
  controller->Shutdown();
  return failure;
}

Json::Value CacheEventJson(unsigned data_id, int record_type, const StoredSnapshot& stored,
                           const CachePolicy::Decision& decision, bool accepted) {
  Json::Value members(Json::objectValue);
  members["data_id"] = data_id;
  members["record_type"] = record_type;
  members["length"] = static_cast<Json::UInt64>(stored.bytes.size());
  members["accepted"] = accepted;
  members["age_s"] =
      decision.age_s ? Json::Value(std::round(*decision.age_s * 10) / 10) : Json::Value();
  members["source"] = stored.source;
  if (!decision.offer) members["refused"] = decision.refusal;
  return members;
}

}  // namespace k426b_host
