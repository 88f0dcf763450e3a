#include "host/device.h"

#include <stdexcept>
#include <utility>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/ttime.h"

// ---- VDeviceInterface ----

VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;

float VDeviceInterface::Get_Value(unsigned, const std::string&) const {
  throw std::out_of_range("数据未就绪");
}

bool VDeviceInterface::LoadFromCache(const std::string& image) {
  return LoadFromCache(reinterpret_cast<const unsigned char*>(image.data()),
                       static_cast<int>(image.size()));
}

bool VDeviceInterface::LoadFromCache(const unsigned char*, int) { return false; }
unsigned VDeviceInterface::DataId() const { return data_id_; }
const std::string& VDeviceInterface::DeviceType() const { return device_type_; }
int VDeviceInterface::DeviceIoControl(int, const void*, int, void*, int, int&) { return -2; }
void VDeviceInterface::RoundDone() {}
bool VDeviceInterface::UseControllerDb() { return use_controller_db_; }

// ---- ZVKVDevice ----

ZVKVDevice::ZVKVDevice() : last_round_time_(host_epoch()) {}
ZVKVDevice::~ZVKVDevice() = default;

int ZVKVDevice::DeviceIoControl(int, const void*, int, void*, int, int& returned) {
  returned = 0;
  return -1;
}

void ZVKVDevice::Reset() {}

bool ZVKVDevice::InitV(ZVKVDevice* parent, unsigned data_id, const Json::Value&) {
  parent_ = parent;
  data_id_ = data_id;
  if (parent != nullptr) controller_ = parent->controller_;
  init_ok_ = true;
  return true;
}

bool ZVKVDevice::Init(std::weak_ptr<ZVKController> controller, unsigned data_id,
                      const Json::Value& config) {
  controller_ = std::move(controller);
  data_id_ = data_id;
  init_ok_ = InitSetting(config);
  return init_ok_;
}

bool ZVKVDevice::InitSetting(const Json::Value&) { return true; }
bool ZVKVDevice::IsSupportDevice(const std::string& device_type) const {
  return device_type == device_type_;
}
std::shared_ptr<ZVKVDevice> ZVKVDevice::GetChildVDevice(unsigned) { return nullptr; }
std::vector<std::shared_ptr<ZVKVDevice>> ZVKVDevice::GetAllChildVDevices() { return {}; }

bool ZVKVDevice::SendSP(int record_type, const unsigned char* bytes, unsigned length, bool) {
  published_record_type_ = record_type;
  if (parent_ != nullptr) parent_->child_published_ = true;
  if (auto controller = controller_.lock()) {
    controller->Publish(data_id_, record_type, bytes, length);
    return true;
  }
  return false;
}

bool ZVKVDevice::SendDelayData(int) { return false; }
bool ZVKVDevice::SendDoData(int, char) { return false; }
int ZVKVDevice::ReadDi(int) { return -1; }
float ZVKVDevice::ReadAi(int) { return 0.0f; }
float ZVKVDevice::Get_SP_Value(unsigned data_id, const std::string& key) {
  return Get_Value(data_id, key);
}

bool ZVKVDevice::CheckThresholdBool(int level, const std::string& rule_id, const std::string& code,
                                    const std::string& name, const std::string& description,
                                    bool active, unsigned short sequence) {
  // Made in its place in the list: no entry to move in and destroy.
  rule_value& rule = pending_rules_.emplace_back();
  rule.active = active ? 1 : 0;
  rule.rule_id = rule_id;
  rule.code = code;
  rule.level = level;
  rule.sequence = sequence;
  rule.name = name;
  rule.description = description;
  rule.data_id = data_id_;
  if (auto controller = controller_.lock()) controller->events().OnRule(data_id_, rule);
  return true;
}

void ZVKVDevice::CheckThresholdWork(std::function<void()> work) {
  if (auto controller = controller_.lock())
    controller->Submit(std::move(work));
  else
    work();
}

bool ZVKVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  auto controller = controller_.lock();
  return controller ? controller->BatchCheck(data_id_, rules) : false;
}

bool ZVKVDevice::SaveDeviceHistory(const unsigned char* bytes, unsigned length) {
  auto controller = controller_.lock();
  if (!controller) return false;
  controller->SaveHistory(data_id_, published_record_type_, bytes, length);
  return true;
}

// ---- ZVKSPDevice ----

ZVKSPDevice::ZVKSPDevice() = default;
ZVKSPDevice::~ZVKSPDevice() = default;

void ZVKSPDevice::Reset() {
  busy_ = 0;
  // The composite device's quiet time runs from here; after a completed cycle (a child
  // published), later cycles follow the equipment's change bits.
  last_round_time_ = local_time();
  const bool cycle_completed = child_published_;
  if (child_published_) {
    child_published_ = false;
    has_data_ = 1;
    ++completed_cycles_;
    if (auto controller = controller_.lock())
      controller->events().OnCycle(data_id_, completed_cycles_);
  }
  // Rules a device records outside any unit cycle (the model alarm) reach the threshold
  // engine here.
  if (!pending_rules_.empty()) {
    std::vector<rule_value> rules = std::move(pending_rules_);
    pending_rules_.clear();
    std::shared_ptr<ZVKVDevice> keep_alive = weak_from_this().lock();
    ZVKSPDevice* device = this;
    auto work = [keep_alive, device, rules = std::move(rules)]() {
      if (device->DoBatchCheckThreshold(rules)) device->alarm_changed_ = 1;
    };
    if (keep_alive)
      CheckThresholdWork(std::move(work));
    else
      work();
  }
  // After the cycle's rules: the threshold engine retires the rules it no longer reports.
  if (cycle_completed)
    if (auto controller = controller_.lock()) controller->CycleCompleted();
}

bool ZVKSPDevice::Init(std::weak_ptr<ZVKController> controller, unsigned data_id,
                       const Json::Value& config) {
  return ZVKVDevice::Init(std::move(controller), data_id, config);
}

bool ZVKSPDevice::RefreshStatus() {
  if (!init_ok_ || !port_writer_) return false;
  if (busy_ != 0) {
    if (std::chrono::steady_clock::now() - request_time_ < reply_timeout_) return false;
    // No valid reply in time: give the query up; the caller repeats it.
    busy_ = 0;
    if (auto controller = controller_.lock())
      controller->events().OnFrameError(
          data_id_, "no reply within " + std::to_string(reply_timeout_.count()) + " ms", {});
  }
  return true;
}

void ZVKSPDevice::process(unsigned char*, unsigned) {}
bool ZVKSPDevice::IsProcessing() { return busy_ != 0; }
bool ZVKSPDevice::IsStalled() { return false; }

bool ZVKSPDevice::SendData(const unsigned char* bytes, unsigned length) {
  return port_writer_ ? port_writer_(bytes, length) : false;
}

bool ZVKSPDevice::SendParityData(const unsigned char* bytes, unsigned length, EnumParity) {
  return SendData(bytes, length);
}

bool ZVKSPDevice::OpenPort() { return static_cast<bool>(port_writer_); }
bool ZVKSPDevice::ClosePort() { return true; }

void ZVKSPDevice::MarkRequestSent() {
  busy_ = 1;
  request_time_ = std::chrono::steady_clock::now();
}
