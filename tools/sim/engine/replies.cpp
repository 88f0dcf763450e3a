#include "tools/sim/engine/replies.h"

#include <cstring>
#include <initializer_list>

namespace k426b_sim {
namespace {

class InfoWriter {
 public:
  explicit InfoWriter(ReplyInfo& reply) : reply_(reply) {}

  void Byte(uint8_t value) { reply_.info.push_back(value); }
  template <typename Container>
  void Bytes(const Container& bytes) {
    reply_.info.insert(reply_.info.end(), bytes.begin(), bytes.end());
  }
  void Value(const Reading& reading) {
    uint32_t bits = 0x20202020u;  // the no-value marker
    if (reading) std::memcpy(&bits, &*reading, sizeof bits);
    for (int i = 0; i < 4; ++i) Byte(static_cast<uint8_t>(bits >> (8 * i)));
  }
  template <typename Container>
  void Values(const Container& readings) {
    for (const Reading& reading : readings) Value(reading);
  }
  // List lengths are checked against 255 when the scenario is read.
  void UnitCount(std::size_t count) {
    reply_.unit_count_at = reply_.info.size();
    Byte(static_cast<uint8_t>(count));
  }
  void InnerCount(std::size_t count) {
    if (!reply_.inner_count_at) reply_.inner_count_at = reply_.info.size();
    Byte(static_cast<uint8_t>(count));
  }
  void Count(std::size_t count) { Byte(static_cast<uint8_t>(count)); }

 private:
  ReplyInfo& reply_;
};

void AcAnalog(InfoWriter& out, const AcUnit& unit) {
  out.Count(unit.screens.size());
  for (const AcScreen& screen : unit.screens) {
    out.Values(std::initializer_list<Reading>{screen.a, screen.b, screen.c, screen.f});
    out.InnerCount(screen.user_values.size());
    out.Values(screen.user_values);
  }
  out.Values(std::initializer_list<Reading>{unit.ia, unit.ib, unit.ic});
}

void AcSwitch(InfoWriter& out, const AcUnit& unit) {
  out.InnerCount(unit.switches.size());
  out.Bytes(unit.switches);
  out.Count(unit.user_switches.size());
  out.Bytes(unit.user_switches);
}

void AcAlarm(InfoWriter& out, const AcUnit& unit) {
  out.Count(unit.screens.size());
  for (const AcScreen& screen : unit.screens) {
    out.Bytes(screen.alarms);
    out.InnerCount(screen.extra_alarms.size());
    out.Bytes(screen.extra_alarms);
    out.Count(screen.user_alarms.size());
    out.Bytes(screen.user_alarms);
  }
  out.Bytes(unit.current_alarms);
}

void DcAnalog(InfoWriter& out, const DcUnit& unit) {
  out.Value(unit.v);
  out.Value(unit.i);
  out.InnerCount(unit.m_values.size());
  out.Values(unit.m_values);
  out.Count(unit.n_values.size());
  out.Values(unit.n_values);
  out.Count(unit.user_values.size());
  out.Values(unit.user_values);
}

void DcAlarm(InfoWriter& out, const DcUnit& unit) {
  out.Byte(unit.v_alarm);
  out.InnerCount(unit.fuses.size());
  out.Bytes(unit.fuses);
  out.Count(unit.user_alarms.size());
  out.Bytes(unit.user_alarms);
}

template <typename Unit, typename WriteUnit>
void PerUnit(InfoWriter& out, unsigned char data_flag, const std::vector<Unit>& units,
             WriteUnit write_unit) {
  out.Byte(data_flag);
  out.UnitCount(units.size());
  for (const Unit& unit : units) write_unit(out, unit);
}

}  // namespace

const QueryInfo* FindQuery(unsigned char cid1, unsigned char cid2) {
  for (const QueryInfo& query : kQueries)
    if (query.cid1 == cid1 && query.cid2 == cid2) return &query;
  return nullptr;
}

const QueryInfo* FindQuery(const std::string& name) {
  for (const QueryInfo& query : kQueries)
    if (name == query.name) return &query;
  return nullptr;
}

const QueryInfo& Describe(QueryKind kind) {
  for (const QueryInfo& query : kQueries)
    if (query.kind == kind) return query;
  return kQueries[0];
}

ReplyInfo BuildReply(QueryKind kind, const Scenario& scenario, unsigned char data_flag) {
  ReplyInfo reply;
  InfoWriter out(reply);
  const Rectifier& rectifier = scenario.rectifier;
  switch (kind) {
    case QueryKind::kDeviceInfo: {
      std::string field = scenario.model.substr(0, kModelFieldSize);
      field.resize(kModelFieldSize, static_cast<char>(scenario.model_fill));
      out.Bytes(field);
      break;
    }
    case QueryKind::kAcAnalog: PerUnit(out, data_flag, scenario.ac_units, AcAnalog); break;
    case QueryKind::kAcSwitch: PerUnit(out, data_flag, scenario.ac_units, AcSwitch); break;
    case QueryKind::kAcAlarm: PerUnit(out, data_flag, scenario.ac_units, AcAlarm); break;
    case QueryKind::kDcAnalog: PerUnit(out, data_flag, scenario.dc_units, DcAnalog); break;
    case QueryKind::kDcAlarm: PerUnit(out, data_flag, scenario.dc_units, DcAlarm); break;
    case QueryKind::kRcAnalog:
      out.Byte(data_flag);
      out.Value(rectifier.group_value);
      out.UnitCount(rectifier.modules.size());
      for (const RcModule& module : rectifier.modules) {
        out.Value(module.current);
        out.InnerCount(module.values.size());
        out.Values(module.values);
      }
      break;
    case QueryKind::kRcSwitch:
      out.Byte(data_flag);
      out.UnitCount(rectifier.modules.size());
      for (const RcModule& module : rectifier.modules) {
        out.Bytes(module.states);
        out.InnerCount(module.extra_states.size());
        out.Bytes(module.extra_states);
      }
      break;
    case QueryKind::kRcAlarm:
      out.Byte(data_flag);
      out.UnitCount(rectifier.modules.size());
      for (const RcModule& module : rectifier.modules) {
        out.Byte(module.alarm);
        out.InnerCount(module.extra_alarms.size());
        out.Bytes(module.extra_alarms);
      }
      break;
    case QueryKind::kAcParameters:
      out.Values(scenario.parameters.ac);
      out.InnerCount(scenario.parameters.ac_extra.size());
      out.Values(scenario.parameters.ac_extra);
      break;
    case QueryKind::kDcParameters:
      out.Value(scenario.parameters.dc_first);
      out.Value(scenario.parameters.dc_second);
      out.InnerCount(scenario.parameters.dc.size());
      out.Values(scenario.parameters.dc);
      break;
  }
  return reply;
}

bool FaultApplies(FaultKind fault, QueryKind kind) {
  switch (fault) {
    case FaultKind::kWrongUnitCount:
      return kind != QueryKind::kDeviceInfo && kind != QueryKind::kAcParameters &&
             kind != QueryKind::kDcParameters;
    case FaultKind::kOverlongCount: return kind != QueryKind::kDeviceInfo;
    default: return true;
  }
}

}  // namespace k426b_sim
