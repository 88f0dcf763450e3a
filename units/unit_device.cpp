#include "units/unit_device.h"

#include <cstdlib>
#include <stdexcept>
#include <utility>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace {

void ReadThreshold(const Json::Value& setting, float& threshold) {
  if (setting.isNull() || setting.isArray() || setting.isObject()) return;
  threshold = static_cast<float>(std::atof(setting.asString().c_str()));
}

}  // namespace

void ReadChangeThresholds(const Json::Value& config, float& diff_v, float& diff_i) {
  if (!config.isObject()) return;
  const Json::Value& settings = config["appSetting"];
  if (!settings.isObject()) return;
  ReadThreshold(settings["diff_v"], diff_v);
  ReadThreshold(settings["diff_i"], diff_i);
}

UnitDevice::UnitDevice() = default;

void UnitDevice::RequireFreshData() const {
  if (!has_data_) throw std::out_of_range("数据未就绪");
  // A last cycle in the future counts as fresh.
  if ((local_time() - last_round_time_).total_seconds() >= kStaleAfterSeconds)
    throw std::out_of_range("数据已超时");
}

ttime UnitDevice::StampRoundTime() {
  last_round_time_ = local_time();
  return get_ttime(local_time());
}

void UnitDevice::MarkCacheAccepted() {
  has_data_ = 1;
  last_round_time_ = local_time();
}

void UnitDevice::RecordRule(const RuleRow& row, RuleLabel label, bool active) {
  const unsigned short sequence = rule_sequence_++;
  const RuleTexts& texts = TextsOf(row, label, sequence);
  CheckThresholdBool(row.level, texts.rule_id, texts.code, texts.name, texts.description, active,
                     sequence);
}

const UnitDevice::RuleTexts& UnitDevice::TextsOf(const RuleRow& row, RuleLabel label,
                                                 unsigned short sequence) {
  const std::size_t slot = static_cast<unsigned short>(sequence - 1);
  if (slot >= rule_texts_.size()) rule_texts_.resize(slot + 1);
  RuleTexts& texts = rule_texts_[slot];
  // The rows' texts are the tables' literals: the same pointers are the same texts.
  if (texts.row.rule_id != row.rule_id || texts.row.code != row.code ||
      texts.row.name != row.name || texts.row.description != row.description ||
      texts.label.prefix != label.prefix || texts.label.number != label.number) {
    texts.row = row;
    texts.label = label;
    texts.rule_id = row.rule_id;
    texts.code = row.code;
    texts.name = row.name;
    texts.description.clear();
    if (label.prefix != nullptr) (texts.description += label.prefix) += std::to_string(label.number);
    texts.description += row.description;
  }
  return texts;
}

void UnitDevice::HandOver(std::vector<unsigned char> snapshot) {
  const std::size_t rule_count = pending_rules_.size();
  std::vector<rule_value> rules = std::move(pending_rules_);
  pending_rules_.clear();
  pending_rules_.reserve(rule_count);

  std::shared_ptr<ZVKVDevice> keep_alive = weak_from_this().lock();
  UnitDevice* device = this;
  auto work = [keep_alive, device, rules = std::move(rules), snapshot = std::move(snapshot)]() {
    if (device->DoBatchCheckThreshold(rules)) device->alarm_changed_ = 1;
    device->SaveDeviceHistory(snapshot.data(), static_cast<unsigned>(snapshot.size()));
  };
  // A device not owned by a shared pointer cannot be kept alive by the worker: run it here.
  if (keep_alive)
    CheckThresholdWork(std::move(work));
  else
    work();
}
