#include "tools/host/events/model_check.h"

#include <algorithm>
#include <utility>

#include "tools/host/events/alarm_book.h"

namespace k426b_host {

namespace {

constexpr int kDeviceInfoQuery = 0x40 << 8 | 0x51;
constexpr std::size_t kModelFieldSize = 20;

// The model field with the equipment's fill bytes (NUL, blank, 0xFF) removed from its end.
std::string ModelText(const Bytes& info) {
  std::string model(info.begin(), info.begin() + std::min(info.size(), kModelFieldSize));
  while (!model.empty() && (model.back() == '\0' || model.back() == ' ' ||
                            static_cast<unsigned char>(model.back()) == 0xFF))
    model.pop_back();
  return model;
}

}  // namespace

void ModelCheck::QuerySent(unsigned char cid1, unsigned char cid2, const AlarmBook& alarms) {
  std::lock_guard<std::mutex> lock(mutex_);
  last_query_ = cid1 << 8 | cid2;
  if (!recheck_ || last_query_ == kDeviceInfoQuery) return;
  recheck_ = false;
  for (rule_value& rule : alarms.Raised(kModelRuleId)) {
    if (rule.description != alarm_rechecked_) stale_.push_back(std::move(rule));
  }
}

void ModelCheck::ReplyReceived(unsigned char rtn, const Bytes& info) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (rtn == 0 && last_query_ == kDeviceInfoQuery) model_ = ModelText(info);
}

void ModelCheck::RuleStated(const rule_value& rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (recheck_ && rule.rule_id == kModelRuleId) alarm_rechecked_ = rule.description;
}

bool ModelCheck::AlarmChanged(const rule_value& rule, bool raised) {
  if (rule.rule_id != kModelRuleId) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  alarm_ = raised ? rule.description : std::string();
  return raised;
}

void ModelCheck::DeviceMadeAnew() {
  std::lock_guard<std::mutex> lock(mutex_);
  recheck_ = true;
  alarm_rechecked_.clear();
}

std::vector<rule_value> ModelCheck::TakeStale() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(stale_, {});
}

std::string ModelCheck::alarm() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return alarm_;
}

void ModelCheck::FillModel(std::string& model) const {
  std::lock_guard<std::mutex> lock(mutex_);
  model = model_;
}

}  // namespace k426b_host
