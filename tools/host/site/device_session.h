#pragma once

// One site's composite device and its cache policy: the device the plug-in makes from the
// configuration (made anew whenever the line comes back), its units, and the stored snapshots
// the policy lets them load, each load reported as a `cache` event and a line for people.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "tools/host/events/site_events.h"
#include "tools/host/site/cache_policy.h"
#include "tools/host/site/site_output.h"
#include "tools/host/store/history_store.h"
#include "tools/host/system/plugin_loader.h"

class ZVKController;
class ZVKSPDevice;
class ZVKVDevice;

namespace k426b_host {

class DeviceSession {
 public:
  // How the device's queries reach the line; false when they cannot.
  using Send = std::function<bool(const unsigned char* bytes, unsigned length)>;

  // `history` may be null (nothing to load); `plugin`, `config`, `events` and `output` outlive
  // the session.
  DeviceSession(const LoadedPlugin& plugin, const Json::Value& config, CachePolicy cache_policy,
                std::shared_ptr<ZVKController> controller, SiteEvents& events, SiteHistory* history,
                SiteOutput& output);

  // Makes the composite device anew (the old one's work items finish first), initialises it
  // with the configuration and attaches it to `send`. Empty result on success, else why the
  // plug-in refused it; the site then has no device.
  std::string Create(Send send);
  // Hands each unit the newest stored snapshot the cache policy allows.
  void LoadCaches();
  // The device sends nothing more.
  void Detach();
  // Lets go of the device and its units.
  void Release();

  // The device made last; only while one is made.
  ZVKSPDevice& composite() const { return *composite_; }
  const std::vector<std::shared_ptr<ZVKVDevice>>& units() const { return units_; }

 private:
  const LoadedPlugin& plugin_;
  const Json::Value& config_;
  const CachePolicy cache_policy_;
  const std::shared_ptr<ZVKController> controller_;
  SiteEvents& events_;
  SiteHistory* const history_;
  SiteOutput& output_;
  std::shared_ptr<ZVKSPDevice> composite_;
  std::vector<std::shared_ptr<ZVKVDevice>> units_;
};

// Whether the plug-in takes `config`: a device made and initialised with it on its own (no line,
// history or events), then let go. Empty result when it does, else why not, in the words of
// DeviceSession::Create.
std::string CheckDeviceWithPlugin(const LoadedPlugin& plugin, const Json::Value& config);

// The `cache` event's members: the newest stored snapshot of a unit, whether the policy
// offered it (and why not) and whether the unit accepted it.
Json::Value CacheEventJson(unsigned data_id, int record_type, const StoredSnapshot& stored,
                           const CachePolicy::Decision& decision, bool accepted);

}  // namespace k426b_host
