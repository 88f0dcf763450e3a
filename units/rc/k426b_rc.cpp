#include "units/rc/k426b_rc.h"

#include <cstddef>
#include <iterator>

namespace {

constexpr unsigned kAlarms = offsetof(tele_c_k426b_rc_channel, alarms);

// The extra alarm bytes in the order the equipment sends them. Outage and communication
// report their own codes (0xE1, 0xE2) rather than 1.
constexpr RuleRow kModuleAlarmRules[] = {
    {3, "K426_RC_0", "06024", "整流模块故障告警", "模块故障告警状态", kAlarms + 0, 1},
    {4, "K426_RC_1", "06025", "整流模块风扇告警", "模块风扇告警", kAlarms + 1, 1},
    {4, "K426_RC_2", "06027", "整流模块温度过高告警", "模块过温告警状态", kAlarms + 2, 1},
    {3, "K426_RC_3", "06029", "模块限功率", "模块限功率", kAlarms + 3, 1},
    {2, "K426_RC_4", "06016", "交流输入停电告警", "交流输入停电告警", kAlarms + 4, 0xE1},
    {4, "K426_RC_5", "06028", "整流模块通信状态告警", "整流模块通信状态告警", kAlarms + 5, 0xE2},
    {2, "K426_RC_6", "06029", "模块交流欠压", "模块交流欠压", kAlarms + 6, 1},
};
static_assert(std::size(kModuleAlarmRules) == tele_c_k426b_rc_channel::P41_44_SIZE());

}  // namespace

K426BRC::K426BRC() { device_type_ = "k426b-rc"; }

K426BRC::~K426BRC() = default;

// Read from the snapshot this RoundDone closed, so a cache image loaded meanwhile on another
// thread cannot change these rules, nor how many there are.
void K426BRC::DoImpCheckAlert() {
  // A module whose last alarm block announced another count has no trustworthy alarm bytes.
  constexpr unsigned kAlarmCount = offsetof(tele_c_k426b_rc_channel, alarm_count);
  RecordModuleRules(kModuleAlarmRules, [](const unsigned char* module) {
    return module[kAlarmCount] == tele_c_k426b_rc_channel::P41_44_SIZE();
  });
}
