#pragma once

// Telemetry records of one AC distribution unit: a fixed head and one channel record per AC
// screen. Together (head, then the channels in order) they are the unit's snapshot, history
// entry and cache image. Multi-byte fields are least significant byte first, floats IEEE 754
// single precision exactly as received; every field is a byte array, read and written through
// units/record_bytes.h, so nothing depends on alignment.
//
// Head, tele_c_pmbuspower_ac<8, 2> (39 bytes)
//   +0   4  data id
//   +4   4  phase A input current "ia"          float
//   +8   4  phase B input current "ib"          float
//   +12  4  phase C input current "ic"          float
//   +16  1  channel count (AC screens)
//   +17  1  switch count m of the last 0x43 block
//   +18  8  switch states                        AIRLOCK_MAX
//   +26  1  user-defined switch count p
//   +27  2  user-defined switch states           P40_43_SIZE
//   +29  3  alarm states of ia, ib, ic
//   +32  7  host time stamp of the last completed cycle
//
// Channel, tele_c_pmbuspower_ac_channel<0, 7> (29 bytes)
//   +0   4  voltage AB/A "a"                     float
//   +4   4  voltage BC/B "b"                     float
//   +8   4  voltage CA/C "c"                     float
//   +12  4  frequency "f"                        float
//   +16  1  user-defined value count of the last 0x41 block
//   +17  4*P user-defined values                 P40_41_SIZE (none here)
//   +17  4  alarm states of a, b, c, f
//   +21  1  user-defined alarm count of the last 0x44 block
//   +22  7  user-defined alarm states            p40_44_SIZE

#include <cstddef>

#pragma pack(push, 1)

template <int AirlockMax, int UserSwitchCount>
struct tele_c_pmbuspower_ac {
  static constexpr int AIRLOCK_MAX() { return AirlockMax; }
  static constexpr int P40_43_SIZE() { return UserSwitchCount; }

  unsigned char data_id[4];
  unsigned char ia[4];
  unsigned char ib[4];
  unsigned char ic[4];
  unsigned char channel_count;
  unsigned char switch_count;
  unsigned char switches[AirlockMax];
  unsigned char user_switch_count;
  unsigned char user_switches[UserSwitchCount];
  unsigned char current_alarms[3];  // ia, ib, ic
  unsigned char time_stamp[7];
};

// The analog part of a channel; its user-defined values vanish entirely when none are carried.
template <int UserValueCount>
struct tele_c_pmbuspower_ac_channel_values {
  unsigned char a[4];
  unsigned char b[4];
  unsigned char c[4];
  unsigned char f[4];
  unsigned char user_value_count;
  unsigned char user_values[UserValueCount][4];
};

template <>
struct tele_c_pmbuspower_ac_channel_values<0> {
  unsigned char a[4];
  unsigned char b[4];
  unsigned char c[4];
  unsigned char f[4];
  unsigned char user_value_count;
};

template <int UserValueCount, int UserAlarmCount>
struct tele_c_pmbuspower_ac_channel : tele_c_pmbuspower_ac_channel_values<UserValueCount> {
  static constexpr int P40_41_SIZE() { return UserValueCount; }
  static constexpr int p40_44_SIZE() { return UserAlarmCount; }

  unsigned char alarms[4];  // a, b, c, f
  unsigned char user_alarm_count;
  unsigned char user_alarms[UserAlarmCount];
};

#pragma pack(pop)

using tele_c_k426b_ac = tele_c_pmbuspower_ac<8, 2>;
using tele_c_k426b_ac_channel = tele_c_pmbuspower_ac_channel<0, 7>;

static_assert(sizeof(tele_c_k426b_ac) == 39, "AC head record is 39 bytes");
static_assert(sizeof(tele_c_k426b_ac_channel) == 29, "AC channel record is 29 bytes");
static_assert(sizeof(tele_c_pmbuspower_ac_channel<2, 7>) == 37, "user values inside");
static_assert(offsetof(tele_c_k426b_ac, channel_count) == 16, "");
static_assert(offsetof(tele_c_k426b_ac, user_switch_count) == 26, "");
static_assert(offsetof(tele_c_k426b_ac, current_alarms) == 29, "");
static_assert(offsetof(tele_c_k426b_ac, time_stamp) == 32, "");
