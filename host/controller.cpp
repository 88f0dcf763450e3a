#include "host/controller.h"

#include <utility>

ZVKController::ZVKController(std::shared_ptr<HostEvents> events,
                             std::shared_ptr<ThresholdWorker> worker)
    : events_(events ? std::move(events) : std::make_shared<HostEvents>()),
      own_worker_(worker == nullptr),
      worker_(worker ? std::move(worker) : std::make_shared<ThresholdWorker>()),
      owner_(worker_->AddOwner()) {}

ZVKController::~ZVKController() { Shutdown(); }

void ZVKController::Log(unsigned data_id, const std::string& text) { events_->OnLog(data_id, text); }

void ZVKController::Submit(std::function<void()> work) { worker_->Submit(owner_, std::move(work)); }

void ZVKController::Drain() { worker_->Drain(*owner_); }

void ZVKController::Shutdown() {
  if (worker_->Shutdown(*owner_) && own_worker_) worker_->Stop();
}

bool ZVKController::BatchCheck(unsigned data_id, const std::vector<rule_value>& rules) {
  struct Change {
    const rule_value* rule;
    bool raised;
  };
  std::vector<Change> changes;
  {
    std::lock_guard<std::mutex> lock(alarm_mutex_);
    if (!rules.empty()) stated_in_[data_id] = cycles_;
    for (std::size_t position = 0; position < rules.size(); ++position) {
      const rule_value& rule = rules[position];
      const bool active = rule.active != 0;
      auto* state = alarm_places_.Find(data_id, position, rule.rule_id, rule.description);
      bool made = false;
      if (state == nullptr) {
        auto found = alarm_states_.find(RuleKey{data_id, rule.rule_id, rule.description});
        if (found == alarm_states_.end()) {
          const auto texts =
              alarm_texts_.emplace(alarm_texts_.end(), rule.rule_id, rule.description);
          const RuleKey key{data_id, texts->first, texts->second};
          found = alarm_states_.emplace(key, RuleState{active, cycles_, texts}).first;
          made = true;
          if (active) changes.push_back({&rule, true});
        }
        state = &*found;
        alarm_places_.Remember(data_id, position, state);
      }
      if (made || state->second.stated != cycles_) ++stated_this_cycle_;
      state->second.stated = cycles_;
      if (state->second.active != active) {
        state->second.active = active;
        changes.push_back({&rule, active});
      }
    }
  }
  for (const Change& change : changes) events_->OnAlarm(data_id, *change.rule, change.raised);
  return !changes.empty();
}

void ZVKController::CycleCompleted() {
  Submit([this] { RetireUnreported(); });
}

void ZVKController::RetireUnreported() {
  std::vector<std::pair<unsigned, std::pair<std::string, std::string>>> retired;
  {
    std::lock_guard<std::mutex> lock(alarm_mutex_);
    // Most cycles state every rule there is: then none is looked at.
    const bool all_stated = stated_this_cycle_ == alarm_states_.size();
    for (auto state = alarm_states_.begin(); !all_stated && state != alarm_states_.end();) {
      const unsigned data_id = state->first.data_id;
      const RuleState& rule = state->second;
      const auto stated = stated_in_.find(data_id);
      const bool unit_stated_now = stated != stated_in_.end() && stated->second == cycles_;
      if (rule.active || rule.stated == cycles_ || !unit_stated_now) {
        ++state;
        continue;
      }
      alarm_places_.Forget(data_id);  // its places may point at the state
      const RuleTexts::iterator texts = rule.texts;
      retired.emplace_back(data_id, *texts);
      state = alarm_states_.erase(state);
      alarm_texts_.erase(texts);  // only once no key views them
    }
    ++cycles_;
    stated_this_cycle_ = 0;
  }
  for (const auto& [data_id, texts] : retired)
    events_->OnRetired(data_id, texts.first, texts.second);
}

void ZVKController::Publish(unsigned data_id, int record_type, const unsigned char* bytes,
                            unsigned length) {
  events_->OnSnapshot(data_id, record_type, Bytes(bytes, bytes + length));
}

void ZVKController::SaveHistory(unsigned data_id, int record_type, const unsigned char* bytes,
                                unsigned length) {
  events_->OnHistory(data_id, record_type, Bytes(bytes, bytes + length));
}
