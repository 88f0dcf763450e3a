#pragma once

// Records of the rectifier group. Both are packed byte images; every 4-byte value is kept
// exactly as the equipment sent it. The head followed by one module record per module is the
// unit's snapshot, history entry and cache image (149 + 51 x M bytes).
//
// tele_c_k426b_rc, 149 bytes                 tele_c_k426b_rc_channel, 51 bytes per module
//  off  len  field                 from      off  len  field                  from
//    0    4  data id (LSB first)   InitV       0    4  first value            41_41
//    4   20  five values           40_46       4    1  further value count 7  41_41
//   24    4  first value           42_46       5   28  7 further values       41_41
//   28    4  second value          42_46      33    3  state bytes            41_43
//   32    1  parameter count 26    42_46      36    1  extra state count 5    41_43
//   33  104  26 parameters         42_46      37    5  extra state bytes      41_43
//  137    4  group value           41_41      42    1  alarm state (1 fault)  41_44
//  141    1  module count M        41_41      43    1  extra alarm count 7    41_44
//  142    7  time stamp            RoundDone  44    7  fault, fan, over-temp, 41_44
//                                                      power limit, AC outage,
//                                                      communication, AC undervoltage

#include <cstddef>
#include <type_traits>

// Per-module counts that well-formed 41_41, 41_43 and 41_44 replies announce.
template <int ValuesPerModule, int ExtraStatesPerModule, int ExtraAlarmsPerModule>
struct tele_c_pmbuspower_rc_channel {
  static constexpr int P41_41_SIZE() { return ValuesPerModule; }
  static constexpr int P41_43_SIZE() { return ExtraStatesPerModule; }
  static constexpr int P41_44_SIZE() { return ExtraAlarmsPerModule; }
};

// Parameter count a well-formed 42_46 reply announces, and the bytes of it the record keeps.
template <int ParameterCount, int ParameterBytes>
struct tele_c_pmbuspower_rc {
  static constexpr int P42_46_NUMBER() { return ParameterCount; }
  static constexpr int P42_46_SIZE() { return ParameterBytes; }
};

#pragma pack(push, 1)

struct tele_c_k426b_rc : tele_c_pmbuspower_rc<26, 104> {
  unsigned char data_id[4];
  unsigned char values40_46[20];
  unsigned char first_value42_46[4];
  unsigned char second_value42_46[4];
  unsigned char parameter_count;
  unsigned char parameters[P42_46_SIZE()];
  unsigned char group_value[4];
  unsigned char module_count;
  unsigned char time_stamp[7];
};

struct tele_c_k426b_rc_channel : tele_c_pmbuspower_rc_channel<7, 5, 7> {
  unsigned char first_value[4];
  unsigned char value_count;
  unsigned char values[4 * P41_41_SIZE()];
  unsigned char states[3];
  unsigned char state_count;
  unsigned char extra_states[P41_43_SIZE()];
  unsigned char alarm_state;
  unsigned char alarm_count;
  unsigned char alarms[P41_44_SIZE()];
};

#pragma pack(pop)

static_assert(sizeof(tele_c_k426b_rc) == 149);
static_assert(sizeof(tele_c_k426b_rc_channel) == 51);
static_assert(std::is_standard_layout_v<tele_c_k426b_rc> &&
              std::is_trivially_copyable_v<tele_c_k426b_rc>);
static_assert(std::is_standard_layout_v<tele_c_k426b_rc_channel> &&
              std::is_trivially_copyable_v<tele_c_k426b_rc_channel>);
static_assert(offsetof(tele_c_k426b_rc, parameters) == 33);
static_assert(offsetof(tele_c_k426b_rc, group_value) == 137);
static_assert(offsetof(tele_c_k426b_rc, module_count) == 141);
static_assert(offsetof(tele_c_k426b_rc, time_stamp) == 142);
static_assert(offsetof(tele_c_k426b_rc_channel, states) == 33);
static_assert(offsetof(tele_c_k426b_rc_channel, alarm_state) == 42);
static_assert(offsetof(tele_c_k426b_rc_channel, alarms) == 44);
