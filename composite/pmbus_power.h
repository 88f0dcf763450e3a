#pragma once

// The composite device: it owns the serial conversation with the power system, creates one unit
// child per configured AC and DC distribution unit plus the rectifier unit, and polls them in a
// fixed cycle of queries.
//
//   query  state  CID1/CID2  info byte         reply goes to
//   -----  -----  ---------  ----------------  ---------------------------------------------
//   model   14    40 / 51    -                 model check (once in the device's life)
//   AC      0     40 / 41    FF                each AC child,  parse40_41  (from INFO[2])
//           1     40 / 43    FF                each AC child,  parse40_43  (from INFO[2])
//           2     40 / 44    FF                each AC child,  parse40_44  (from INFO[2])
//   RC      4     41 / 41    -                 rectifier,      parse41_41  (whole INFO)
//           5     41 / 43    -                 rectifier,      parse41_43  (whole INFO)
//           6     41 / 44    -                 rectifier,      parse41_44  (whole INFO)
//   DC      7     42 / 41    FF if VER 0x21    each DC child,  parse42_41  (from INFO[2],
//                                                              or INFO[1] when count > 3)
//           8     42 / 44    FF if VER 0x21    each DC child,  parse42_44  (from INFO[2])
//   param   3     40 / 46    -                 rectifier,      parse40_46  (whole INFO)
//           9     42 / 46    -                 rectifier,      parse42_46  (whole INFO)
//
// AC and DC replies open with the data flag byte and the number of units the reply covers; the
// data flag of an analog reply asks for the group's switch states (0x10) and alarm states (0x01).
// NextQuery() holds the whole order of a cycle.

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/value.h>

#include "host/pmbus_protocol.h"
#include "host/ttime.h"
#include "units/byte_reader.h"

template <class AC, class DC, class RC>
class PMBusPower : public PMBusProtocol {
 public:
  static const unsigned char commandGroup_ = 0xFF;
  // No cycle starts sooner than this after the last completed one.
  static constexpr long long kQuietTimeSeconds = 2;
  // The serial thread pauses this long before it examines a reply.
  static constexpr std::chrono::milliseconds kReplyPause{20};

  explicit PMBusPower(std::vector<std::string> accepted_models)
      : accepted_models_(std::move(accepted_models)) {}
  // Members go in reverse declaration order: accepted models, detected model, rectifier, DC and
  // AC children; a child lives on while the host still holds it.
  ~PMBusPower() override = default;

  using PMBusProtocol::LoadFromCache;
  // The composite device keeps no record; each child reloads its own cache.
  bool LoadFromCache(const unsigned char*, int) override { return true; }

  bool InitSetting(const Json::Value& config) override {
    if (!PMBusProtocol::InitSetting(config)) return false;
    const Json::Value none;
    const Json::Value& ac_setting = config.isObject() ? config["acSetting"] : none;
    const Json::Value& dc_setting = config.isObject() ? config["dcSetting"] : none;
    const Json::Value& rc_setting = config.isObject() ? config["rcSetting"] : none;

    if (ac_setting.isArray()) {
      for (const Json::Value& element : ac_setting) {
        auto child = std::make_shared<AC>();
        child->InitV(this, ChildDataId(element), element);
        ac_.push_back(std::move(child));
      }
    }
    if (dc_setting.isArray()) {
      for (const Json::Value& element : dc_setting) {
        auto child = std::make_shared<DC>();
        child->InitV(this, ChildDataId(element), element);
        dc_.push_back(std::move(child));
      }
    }
    if (rc_setting.isNull()) return false;
    rc_ = std::make_shared<RC>();
    rc_->InitV(this, data_id_, rc_setting);
    return true;
  }

  std::shared_ptr<ZVKVDevice> GetChildVDevice(unsigned data_id) override {
    for (const auto& child : ac_)
      if (child->DataId() == data_id) return child;
    for (const auto& child : dc_)
      if (child->DataId() == data_id) return child;
    return nullptr;
  }

  std::vector<std::shared_ptr<ZVKVDevice>> GetAllChildVDevices() override {
    std::vector<std::shared_ptr<ZVKVDevice>> children(ac_.begin(), ac_.end());
    children.insert(children.end(), dc_.begin(), dc_.end());
    children.push_back(rc_);
    return children;
  }

  bool RefreshStatus() override {
    // Without the rectifier child (no "rcSetting") the cycle has nowhere to go.
    if (!rc_) {
      busy_ = 0;
      return false;
    }
    if (!ZVKSPDevice::RefreshStatus()) return false;
    const long long since_last_cycle = (local_time() - LastRoundTime()).total_seconds();
    if (since_last_cycle < kQuietTimeSeconds && !model_check_pending_) {
      busy_ = 0;
      return false;
    }
    if (model_check_pending_) {
      SendQuery(kDeviceInfo);
      return true;
    }
    if (poll_state_ == kAcAnalog)
      SendQuery(ac_.empty() ? kRcAnalog : kAcAnalog);
    else if (poll_state_ >= kAcSwitch && poll_state_ <= kDcParameters)
      SendQuery(poll_state_);
    return true;
  }

  bool process_payload() override {
    pause_for(kReplyPause);
    if (reply_ == nullptr) return true;
    const Reply reply = ReadReply();
    const PollStep* step = FindStep(poll_state_);
    if (step == nullptr) return true;
    if (reply.cid1 != step->cid1) {
      if (poll_state_ != kAcAnalog) return true;
      Reset();
      return false;
    }
    switch ((this->*step->handle)(reply)) {
      case Outcome::kKeepQuery:
        return true;
      case Outcome::kAbandonCycle:
        Reset();
        return false;
      case Outcome::kAccepted:
        break;
    }
    const int next = NextQuery(poll_state_, reply);
    if (next == kEndOfCycle) {
      EndCycle();
      return false;
    }
    SendQuery(next);
    return true;
  }

  const std::vector<std::string>& AcceptedModels() const { return accepted_models_; }
  const std::string& DetectedModel() const { return model_; }

 protected:
  enum CycleState : int {
    kAcAnalog = 0,
    kAcSwitch = 1,
    kAcAlarm = 2,
    kAcParameters = 3,
    kRcAnalog = 4,
    kRcSwitch = 5,
    kRcAlarm = 6,
    kDcAnalog = 7,
    kDcAlarm = 8,
    kDcParameters = 9,
    kDeviceInfo = 14,
    kEndOfCycle = -1,
  };

  static constexpr unsigned char kSwitchStatesChanged = 0x10;
  static constexpr unsigned char kAlarmStatesChanged = 0x01;
  static constexpr std::size_t kModelFieldSize = 20;

  // The reply as process_payload sees it: CID1 and the information bytes.
  struct Reply {
    unsigned char cid1;
    const unsigned char* info;
    int length;

    // The data flag byte of an analog reply; 0 when the reply carries no information byte.
    unsigned char DataFlag() const { return length > 0 ? info[0] : 0; }
  };

  enum class Outcome {
    kAccepted,      // the cycle moves on to NextQuery()
    kKeepQuery,     // nothing written: the next RefreshStatus repeats the query
    kAbandonCycle,  // Reset(): the cycle starts again after the quiet time
  };

  enum class GroupByte { kNone, kAlways, kFromVersion21 };

  struct PollStep {
    int state;
    unsigned char cid1;
    unsigned char cid2;
    GroupByte group_byte;
    Outcome (PMBusPower::*handle)(const Reply&);
  };

  static const PollStep* FindStep(int state) {
    static const PollStep kSteps[] = {
        {kDeviceInfo, 0x40, 0x51, GroupByte::kNone, &PMBusPower::HandleDeviceInfo},
        {kAcAnalog, 0x40, 0x41, GroupByte::kAlways, &PMBusPower::HandleAcAnalog},
        {kAcSwitch, 0x40, 0x43, GroupByte::kAlways, &PMBusPower::HandleAcSwitch},
        {kAcAlarm, 0x40, 0x44, GroupByte::kAlways, &PMBusPower::HandleAcAlarm},
        {kRcAnalog, 0x41, 0x41, GroupByte::kNone, &PMBusPower::HandleRcAnalog},
        {kRcSwitch, 0x41, 0x43, GroupByte::kNone, &PMBusPower::HandleRcSwitch},
        {kRcAlarm, 0x41, 0x44, GroupByte::kNone, &PMBusPower::HandleRcAlarm},
        {kDcAnalog, 0x42, 0x41, GroupByte::kFromVersion21, &PMBusPower::HandleDcAnalog},
        {kDcAlarm, 0x42, 0x44, GroupByte::kFromVersion21, &PMBusPower::HandleDcAlarm},
        {kAcParameters, 0x40, 0x46, GroupByte::kNone, &PMBusPower::HandleAcParameters},
        {kDcParameters, 0x42, 0x46, GroupByte::kNone, &PMBusPower::HandleDcParameters},
    };
    for (const PollStep& step : kSteps)
      if (step.state == state) return &step;
    return nullptr;
  }

  // The query that follows an accepted reply in `state`. "Changed" flags only count once the
  // host has seen a completed cycle (has-data); before that every switch and alarm query runs.
  int NextQuery(int state, const Reply& reply) const {
    const bool valid = HasData();
    const auto asks = [valid](unsigned char flag, unsigned char bit) {
      return !valid || (flag & bit) != 0;
    };
    const int after_rectifier = dc_.empty() ? kEndOfCycle : kDcAnalog;
    const int after_dc = ac_.empty() ? kDcParameters : kAcParameters;
    switch (state) {
      case kDeviceInfo:
        return ac_.empty() ? kRcAnalog : kAcAnalog;
      case kAcAnalog:
        if (asks(ac_flag_, kSwitchStatesChanged)) return kAcSwitch;
        return (ac_flag_ & kAlarmStatesChanged) ? kAcAlarm : kRcAnalog;
      case kAcSwitch:
        return asks(ac_flag_, kAlarmStatesChanged) ? kAcAlarm : kRcAnalog;
      case kAcAlarm:
        return kRcAnalog;
      case kRcAnalog:
        if (asks(rc_flag_, kSwitchStatesChanged)) return kRcSwitch;
        return (rc_flag_ & kAlarmStatesChanged) ? kRcAlarm : after_rectifier;
      case kRcSwitch:
        return asks(rc_flag_, kAlarmStatesChanged) ? kRcAlarm : after_rectifier;
      case kRcAlarm:
        return after_rectifier;
      case kDcAnalog:
        return asks(reply.DataFlag(), kSwitchStatesChanged | kAlarmStatesChanged) ? kDcAlarm
                                                                                    : after_dc;
      case kDcAlarm:
        return after_dc;
      case kAcParameters:
        return kDcParameters;
      default:
        return kEndOfCycle;
    }
  }

  void SendQuery(int state) {
    const PollStep* step = FindStep(state);
    if (step == nullptr) return;
    poll_state_ = state;
    const bool group_byte = step->group_byte == GroupByte::kAlways ||
                            (step->group_byte == GroupByte::kFromVersion21 &&
                             version_ == kProtocolVersion21);
    if (group_byte)
      write_pmbus_cmd(step->cid1, step->cid2, &commandGroup_, 1);
    else
      write_pmbus_cmd(step->cid1, step->cid2);
  }

  Reply ReadReply() const {
    const unsigned length_field = reply_[kReplyLength] | (reply_[kReplyLength + 1] << 8);
    return Reply{reply_[kReplyCid1], reply_ + kReplyInfo, static_cast<int>(length_field / 2)};
  }

  Outcome HandleDeviceInfo(const Reply& reply) {
    const std::size_t field_size = std::min<std::size_t>(kModelFieldSize, reply.length);
    model_.assign(reinterpret_cast<const char*>(reply.info), field_size);
    if (!IsAcceptedModel(model_)) {
      const std::string description = "本驱动类型:" + device_type_ + " 检测型号:" + model_;
      CheckThresholdBool(3, "device_model", "70319", "设备配置检测", description, true, 0);
    }
    model_check_pending_ = false;
    return Outcome::kAccepted;
  }

  Outcome HandleAcAnalog(const Reply& reply) {
    ByteReader header(reply.info, reply.length);
    unsigned char data_flag = 0;
    unsigned char unit_count = 0;
    if (!header.u8(data_flag) || !header.u8(unit_count)) return Outcome::kKeepQuery;
    ac_flag_ = data_flag;
    if (unit_count != ac_.size()) {
      InfoLog("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}",
              data_id_, static_cast<unsigned>(unit_count), static_cast<unsigned>(ac_.size()));
      return Outcome::kAbandonCycle;
    }
    const long long consumed = HandToChildren(ac_, &AC::parse40_41, reply, kUnitDataStart);
    if (consumed < 0) return Outcome::kKeepQuery;
    return RequireExact(consumed, reply,
                        "PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary");
  }

  Outcome HandleAcSwitch(const Reply& reply) {
    // A reply without switch data leaves the switch states as they were.
    if (reply.length - kUnitDataStart <= 0) return Outcome::kAccepted;
    const long long consumed = HandToChildren(ac_, &AC::parse40_43, reply, kUnitDataStart);
    if (consumed < 0) return Outcome::kKeepQuery;
    return RequireExact(consumed, reply,
                        "PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary");
  }

  Outcome HandleAcAlarm(const Reply& reply) {
    return RequireExact(HandToChildren(ac_, &AC::parse40_44, reply, kUnitDataStart), reply,
                        nullptr);
  }

  Outcome HandleRcAnalog(const Reply& reply) {
    if (reply.length > 0) rc_flag_ = reply.DataFlag();
    return RequireExact(HandToRectifier(&RC::parse41_41, reply), reply,
                        "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary");
  }

  Outcome HandleRcSwitch(const Reply& reply) {
    return RequireExact(HandToRectifier(&RC::parse41_43, reply), reply,
                        "PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary");
  }

  Outcome HandleRcAlarm(const Reply& reply) {
    return RequireExact(HandToRectifier(&RC::parse41_44, reply), reply,
                        "PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary");
  }

  Outcome HandleDcAnalog(const Reply& reply) {
    ByteReader header(reply.info, reply.length);
    unsigned char data_flag = 0;
    unsigned char unit_count = 0;
    if (!header.u8(data_flag) || !header.u8(unit_count)) return Outcome::kKeepQuery;
    if (!DcCountMatches(unit_count)) return Outcome::kKeepQuery;
    // Equipment reporting more than three DC units starts the first unit's data at the count.
    const int start = unit_count > 3 ? kUnitCountPosition : kUnitDataStart;
    return NoteOverrun(HandToChildren(dc_, &DC::parse42_41, reply, start), reply,
                       "PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary");
  }

  Outcome HandleDcAlarm(const Reply& reply) {
    ByteReader header(reply.info, reply.length);
    unsigned char unit_count = 0;
    if (!header.skip(1) || !header.u8(unit_count)) return Outcome::kKeepQuery;
    if (!DcCountMatches(unit_count)) return Outcome::kKeepQuery;
    return NoteOverrun(HandToChildren(dc_, &DC::parse42_44, reply, kUnitDataStart), reply,
                       "PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary");
  }

  Outcome HandleAcParameters(const Reply& reply) {
    return NoteOverrun(HandToRectifier(&RC::parse40_46, reply), reply,
                       "PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary");
  }

  Outcome HandleDcParameters(const Reply& reply) {
    return NoteOverrun(HandToRectifier(&RC::parse42_46, reply), reply,
                       "PMBusPower:ProcotolError {} parse 42_46 overflow memory boundary");
  }

  // AC and rectifier replies must be consumed exactly; anything else (a -1 included) keeps the
  // query, logged with `message` unless it is null.
  Outcome RequireExact(long long consumed, const Reply& reply, const char* message) const {
    if (consumed == reply.length) return Outcome::kAccepted;
    if (message != nullptr) InfoLog(message, data_id_);
    return Outcome::kKeepQuery;
  }

  // DC and parameter replies: a -1 keeps the query; over-consumption is only logged, and the
  // cycle goes on.
  Outcome NoteOverrun(long long consumed, const Reply& reply, const char* message) const {
    if (consumed < 0) return Outcome::kKeepQuery;
    if (consumed > reply.length) InfoLog(message, data_id_);
    return Outcome::kAccepted;
  }

  bool DcCountMatches(unsigned char unit_count) const {
    if (unit_count == dc_.size()) return true;
    InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}",
            data_id_, static_cast<unsigned>(unit_count), static_cast<unsigned>(dc_.size()));
    return false;
  }

  // Hands one reply's unit data to each child in configuration order, from information byte
  // `start` on; each child gets what the children before it left over. Returns the bytes consumed
  // counted from the first information byte, or -1 when a child could not use the reply. A child
  // left with no bytes is still called, with the pointer one past the last byte and length 0,
  // and fails by itself: its own read-overflow message and -1. Only an earlier child's result
  // beyond the reply stops the hand-over, before any pointer past the end is formed.
  template <class Child, class Parse>
  static long long HandToChildren(const std::vector<std::shared_ptr<Child>>& children,
                                  Parse parse, const Reply& reply, int start) {
    long long consumed = start;
    for (const auto& child : children) {
      if (consumed > reply.length) return -1;
      const int used = ((*child).*parse)(reply.info + consumed,
                                         static_cast<int>(reply.length - consumed));
      if (used < 0) return -1;
      consumed += used;
    }
    return consumed;
  }

  // The rectifier parsers read the whole information field; an empty one is handed over too,
  // and the parser fails by itself.
  template <class Parse>
  int HandToRectifier(Parse parse, const Reply& reply) {
    if (!rc_) return -1;
    return ((*rc_).*parse)(reply.info, reply.length);
  }

  void EndCycle() {
    for (const auto& child : ac_) child->RoundDone();
    for (const auto& child : dc_) child->RoundDone();
    if (rc_) rc_->RoundDone();
    poll_state_ = kAcAnalog;
    Reset();
  }

  // The equipment pads its model text to the full field with NUL, blank or 0xFF bytes.
  bool IsAcceptedModel(const std::string& field) const {
    const auto is_fill = [](char byte) {
      return byte == '\0' || byte == ' ' || static_cast<unsigned char>(byte) == 0xFF;
    };
    for (const std::string& model : accepted_models_) {
      if (field.size() < model.size() || field.compare(0, model.size(), model) != 0) continue;
      if (std::all_of(field.begin() + model.size(), field.end(), is_fill)) return true;
    }
    return false;
  }

  // The child's "data_id" taken as unsigned, as jsoncpp converts it (2.5 gives 2, true gives
  // 1, a missing one 0). A value it cannot convert without throwing (negative, too large, text,
  // array, object) gives data id 0 rather than an exception into the host.
  static unsigned ChildDataId(const Json::Value& element) {
    if (!element.isObject()) return 0;
    const Json::Value& data_id = element["data_id"];
    return data_id.isConvertibleTo(Json::uintValue) ? data_id.asUInt() : 0;
  }

  static constexpr int kUnitCountPosition = 1;
  static constexpr int kUnitDataStart = 2;

  std::vector<std::shared_ptr<AC>> ac_;
  std::vector<std::shared_ptr<DC>> dc_;
  std::shared_ptr<RC> rc_;
  unsigned char ac_flag_ = 0;
  unsigned char rc_flag_ = 0;
  bool model_check_pending_ = true;
  std::string model_;
  std::vector<std::string> accepted_models_;
};

template <class AC, class DC, class RC>
const unsigned char PMBusPower<AC, DC, RC>::commandGroup_;
