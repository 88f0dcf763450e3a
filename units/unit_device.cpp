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
  const auto [texts, description] = TextsOf(row, label, sequence);
  CheckThresholdBool(row.level, texts.rule_id, texts.code, texts.name, description, active,
                     sequence);
}

std::pair<const UnitDevice::RowTexts&, const std::string&> UnitDevice::TextsOf(
    const RuleRow& row, RuleLabel label, unsigned short sequence) {
  const std::size_t slot = static_cast<unsigned short>(sequence - 1);
  if (slot >= rule_texts_.size()) rule_texts_.resize(slot + 1);
  RuleTexts& rule = rule_texts_[slot];
  // Label prefixes are literals too: the same pointer is the same text.
  if (rule.row >= row_texts_.size() || row_texts_[rule.row].row != &row ||
      rule.label.prefix != label.prefix || rule.label.number != label.number) {
    rule.row = 0;
    while (rule.row < row_texts_.size() && row_texts_[rule.row].row != &row) ++rule.row;
    if (rule.row == row_texts_.size())
      row_texts_.push_back({&row, row.rule_id, row.code, row.name});
    rule.label = label;
    rule.description.clear();
    if (label.prefix != nullptr) (rule.description += label.prefix) += std::to_string(label.number);
    rule.description += row.description;
  }
  return {row_texts_[rule.row], rule.description};
}

void UnitDevice::HandOver(std::vector<unsigned char> snapshot) {
  // The texts grew rule by rule in the first cycle: keep no more room than they take.
  rule_texts_.shrink_to_fit();
  row_texts_.shrink_to_fit();
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
