#pragma once

// The DC distribution record: one packed image that is at once the unit's telemetry, its
// snapshot, its history entry and its cache image. Multi-byte fields least significant byte
// first; analog values are IEEE-754 floats kept exactly as their four bytes arrived.
//
//   offset width field          written by
//   ------ ----- -------------- -------------------------------------------------
//        0     4 data_id        InitV (or a cache image)
//        4     4 v              parse42_41   DC voltage, key "v"
//        8     4 i              parse42_41   DC current, key "i"
//       12     1 dc_m           parse42_41   count as received
//       13    16 m_values       parse42_41   up to 4 floats
//       29     1 dc_n           parse42_41   count as received
//       30    36 n_values       parse42_41   up to 9 floats
//       66     1 p_count        parse42_41   count as received
//       67    44 user_p         parse42_41   up to 11 floats, -0.1 where no value was sent
//      111     1 v_alarm        parse42_44   1 voltage too low, 2 too high
//      112     1 alert_m_count  parse42_44   count as received
//      113    64 alert_m        parse42_44   fuse states, 3 = fuse fault
//      177     1 alert_p_count  parse42_44   count as received
//      178    17 alert_p        parse42_44   user-defined alarm states
//      195     7 time_stamp     RoundDone    host time stamp of the last completed cycle
//      202       (size)

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

template <uint8_t MaxM, uint8_t MaxN, uint8_t MaxP, uint8_t MaxAlertM, uint8_t MaxAlertP>
struct tele_c_pmbuspower_dc {
  static constexpr uint8_t M_SIZE() { return MaxM; }
  static constexpr uint8_t N_SIZE() { return MaxN; }
  static constexpr uint8_t P_SIZE() { return MaxP; }
  static constexpr uint8_t ALERT_M_SIZE() { return MaxAlertM; }
  static constexpr uint8_t ALERT_P_SIZE() { return MaxAlertP; }

  unsigned char data_id[4];
  unsigned char v[4];
  unsigned char i[4];
  unsigned char dc_m;
  unsigned char m_values[4 * MaxM];
  unsigned char dc_n;
  unsigned char n_values[4 * MaxN];
  unsigned char p_count;
  unsigned char user_p[4 * MaxP];
  unsigned char v_alarm;
  unsigned char alert_m_count;
  unsigned char alert_m[MaxAlertM];
  unsigned char alert_p_count;
  unsigned char alert_p[MaxAlertP];
  unsigned char time_stamp[7];
};

#pragma pack(pop)

using tele_c_k426b_dc = tele_c_pmbuspower_dc<4, 9, 11, 64, 17>;

static_assert(sizeof(tele_c_k426b_dc) == 202, "the DC record is 202 bytes");
static_assert(offsetof(tele_c_k426b_dc, v_alarm) == 111, "DC alarm block starts at 111");
static_assert(offsetof(tele_c_k426b_dc, time_stamp) == 195, "DC time stamp at 195");
