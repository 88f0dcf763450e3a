#include "units/dc/k426b_dc.h"

#include <cstddef>

namespace {

constexpr unsigned user_alarm_at(unsigned position) {
  return static_cast<unsigned>(offsetof(tele_c_k426b_dc, alert_p)) + position;
}

// One row per position of alert_p, in the order the equipment reports them.
constexpr RuleRow kUserAlarmRules[] = {
    {2, "K426_DC_0", "06029", "LVD1(负载下电)", "其他告警", user_alarm_at(0), 0xE3},
    {2, "K426_DC_1", "06029", "LVD2(电池保护)", "其他告警", user_alarm_at(1), 0xE4},
    {2, "K426_DC_2", "06029", "温度1告警状态", "其他告警", user_alarm_at(2), 0xE1},
    {2, "K426_DC_3", "06029", "温度2告警状态", "其他告警", user_alarm_at(3), 0xE1},
    {2, "K426_DC_4", "06029", "温度3告警状态", "其他告警", user_alarm_at(4), 0xE1},
    {2, "K426_DC_5", "06011", "直流屏通讯中断告警", "直流屏通讯中断告警状态", user_alarm_at(5), 0xE2},
    {2, "K426_DC_6", "06029", "温度1传感器故障", "其他告警", user_alarm_at(6), 0x06},
    {2, "K426_DC_7", "06029", "温度2传感器故障", "其他告警", user_alarm_at(7), 0x06},
    {2, "K426_DC_8", "06029", "温度3传感器故障", "其他告警", user_alarm_at(8), 0x06},
    {2, "K426_DC_9", "06001", "电池熔丝故障告警", "负载熔丝1故障告警", user_alarm_at(9), 0x03},
    {2, "K426_DC_10", "06002", "电池充电过流告警", "电池1充电过流告警", user_alarm_at(10), 0x02},
    {2, "K426_DC_11", "06001", "电池熔丝故障告警", "负载熔丝2故障告警", user_alarm_at(11), 0x03},
    {2, "K426_DC_12", "06002", "电池充电过流告警", "电池2充电过流告警", user_alarm_at(12), 0x02},
    {2, "K426_DC_13", "06001", "电池熔丝故障告警", "负载熔丝3故障告警", user_alarm_at(13), 0x03},
    {2, "K426_DC_14", "06002", "电池充电过流告警", "电池3充电过流告警", user_alarm_at(14), 0x02},
    {2, "K426_DC_15", "06001", "电池熔丝故障告警", "负载熔丝4故障告警", user_alarm_at(15), 0x03},
    {2, "K426_DC_16", "06002", "电池充电过流告警", "电池4充电过流告警", user_alarm_at(16), 0x02},
};
static_assert(sizeof kUserAlarmRules / sizeof kUserAlarmRules[0] == tele_c_k426b_dc::ALERT_P_SIZE(),
              "one rule per user-defined alarm state");

}  // namespace

K426BDC::K426BDC() { device_type_ = "k426b-dc"; }

K426BDC::K426BDC(const std::string& text) : PMBusPowerDC(text) { device_type_ = "k426b-dc"; }

K426BDC::~K426BDC() = default;

void K426BDC::DoImpCheckAlert() {
  if (ClosedRecord().alert_p_count != tele_c_k426b_dc::ALERT_P_SIZE()) return;
  RecordTable(kUserAlarmRules, ClosedRecordBytes());
}
