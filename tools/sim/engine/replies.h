#pragma once

// The INFO bytes the power system answers each query with, built from a scenario.
//
//   AC   0x40/0x41  flag, units, per unit: N, N x (a b c f, P=0), ia ib ic
//        0x40/0x43  flag, units, per unit: m, m switch bytes, p=2, 2 bytes
//        0x40/0x44  flag, units, per unit: N, N x (4 alarms, m=0, p=7, 7 bytes), 3 current alarms
//   RC   0x41/0x41  flag, group value, M, M x (first value, 7, 7 values)
//        0x41/0x43  flag, N, N x (3 state bytes, 5, 5 bytes)
//        0x41/0x44  flag, N, N x (alarm byte, 7, 7 bytes)
//   DC   0x42/0x41  flag, units, per unit: v i, dc_m values, dc_n values, p values (count first)
//        0x42/0x44  flag, units, per unit: v_alarm, m fuse bytes, p user alarm bytes (count first)
//   PAR  0x40/0x46  5 values, P=0        0x42/0x46  2 values, 26, 26 values
//   INFO 0x40/0x51  20-byte model field, padded with the scenario's fill byte
//
// Values are IEEE 754 floats, least significant byte first; a missing value is 20 20 20 20.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/sim/engine/scenario.h"

namespace k426b_sim {

inline constexpr std::size_t kModelFieldSize = 20;
inline constexpr unsigned char kSwitchChanged = 0x10;
inline constexpr unsigned char kAlarmChanged = 0x01;

enum class QueryKind {
  kDeviceInfo,
  kAcAnalog,
  kAcSwitch,
  kAcAlarm,
  kRcAnalog,
  kRcSwitch,
  kRcAlarm,
  kDcAnalog,
  kDcAlarm,
  kAcParameters,
  kDcParameters,
};

enum class Group { kAc, kRc, kDc, kNone };

struct QueryInfo {
  QueryKind kind;
  unsigned char cid1;
  unsigned char cid2;
  const char* name;
  // Place in the poll cycle; -1 for the device-information query, which is outside it.
  int cycle_position;
  Group group;
};

inline constexpr QueryInfo kQueries[] = {
    {QueryKind::kDeviceInfo, 0x40, 0x51, "40_51", -1, Group::kNone},
    {QueryKind::kAcAnalog, 0x40, 0x41, "40_41", 0, Group::kAc},
    {QueryKind::kAcSwitch, 0x40, 0x43, "40_43", 1, Group::kAc},
    {QueryKind::kAcAlarm, 0x40, 0x44, "40_44", 2, Group::kAc},
    {QueryKind::kRcAnalog, 0x41, 0x41, "41_41", 3, Group::kRc},
    {QueryKind::kRcSwitch, 0x41, 0x43, "41_43", 4, Group::kRc},
    {QueryKind::kRcAlarm, 0x41, 0x44, "41_44", 5, Group::kRc},
    {QueryKind::kDcAnalog, 0x42, 0x41, "42_41", 6, Group::kDc},
    {QueryKind::kDcAlarm, 0x42, 0x44, "42_44", 7, Group::kDc},
    {QueryKind::kAcParameters, 0x40, 0x46, "40_46", 8, Group::kNone},
    {QueryKind::kDcParameters, 0x42, 0x46, "42_46", 9, Group::kNone},
};

const QueryInfo* FindQuery(unsigned char cid1, unsigned char cid2);
const QueryInfo* FindQuery(const std::string& name);
const QueryInfo& Describe(QueryKind kind);

struct ReplyInfo {
  std::vector<unsigned char> info;
  // Where the count of units or modules that the reply covers stands.
  std::optional<std::size_t> unit_count_at;
  // Where the first count inside the first unit's block stands (the one an over-long count
  // fault inflates).
  std::optional<std::size_t> inner_count_at;
};

// `data_flag` is the first byte of the AC, rectifier and DC replies.
ReplyInfo BuildReply(QueryKind kind, const Scenario& scenario, unsigned char data_flag);

// Whether a fault kind has something to alter in the reply to `kind`.
bool FaultApplies(FaultKind fault, QueryKind kind);

}  // namespace k426b_sim
