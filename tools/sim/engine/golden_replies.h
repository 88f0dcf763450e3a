#pragma once

// Golden replies: the INFO bytes of the default scenario's answer to every query, as hex rows,
// field by field. The simulator's tests hold its replies against them; the driver's tests may
// feed them to the parsers. Floats are least significant byte first:
//   220.0 = 00 00 5C 43   230.0 = 00 00 66 43   50.0 = 00 00 48 42   10.0 = 00 00 20 41
//   5.0 = 00 00 A0 40     53.5 = 00 00 56 42    25.0 = 00 00 C8 41   12.5 = 00 00 48 41
//   8.0 = 00 00 00 41     35.0 = 00 00 0C 42    280.0 = 00 00 8C 43  150.0 = 00 00 16 43
//   55.0 = 00 00 5C 42    45.0 = 00 00 34 42    57.6 = 66 66 66 42   43.2 = CD CC 2C 42

namespace k426b_golden {

// One AC unit's 0x40/0x41 block: one screen at 220 V and 50 Hz, 10 A on each phase (30 bytes).
inline constexpr const char* kAcAnalogBlock220 =
    "01"
    "   00 00 5C 43  00 00 5C 43  00 00 5C 43  00 00 48 42  00"
    "   00 00 20 41  00 00 20 41  00 00 20 41";
// The same at 230 V and 5 A.
inline constexpr const char* kAcAnalogBlock230 =
    "01"
    "   00 00 66 43  00 00 66 43  00 00 66 43  00 00 48 42  00"
    "   00 00 A0 40  00 00 A0 40  00 00 A0 40";
// One AC unit's 0x40/0x43 block: m = 2 switch bytes, p = 2 user bytes (6 bytes).
inline constexpr const char* kAcSwitchBlock = "02 00 00  02 00 00";
// One AC unit's 0x40/0x44 block, one screen: 4 alarm bytes, m = 0, p = 7, then the 3 current
// alarm bytes (17 bytes).
inline constexpr const char* kAcAlarmBlock =
    "01   00 00 00 00  00  07 00 00 00 00 00 00 00   00 00 00";

// The default model field: "K426B" padded with blanks to 20 bytes.
inline constexpr const char* kModelReply =
    "4B 34 32 36 42 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20";

// Two AC units, data flag 00.
inline constexpr const char* kAcAnalogReply =
    "00 02"
    "  01  00 00 5C 43  00 00 5C 43  00 00 5C 43  00 00 48 42  00"
    "      00 00 20 41  00 00 20 41  00 00 20 41"
    "  01  00 00 66 43  00 00 66 43  00 00 66 43  00 00 48 42  00"
    "      00 00 A0 40  00 00 A0 40  00 00 A0 40";
inline constexpr const char* kAcSwitchReply = "00 02  02 00 00 02 00 00  02 00 00 02 00 00";
inline constexpr const char* kAcAlarmReply =
    "00 02"
    "  01  00 00 00 00  00  07 00 00 00 00 00 00 00  00 00 00"
    "  01  00 00 00 00  00  07 00 00 00 00 00 00 00  00 00 00";

// Three rectifier modules: group value 53.5, per module 8.0 A and 7 values (53.5, 8.0, 35.0, 0...).
inline constexpr const char* kRcAnalogReply =
    "00  00 00 56 42  03"
    "  00 00 00 41  07  00 00 56 42  00 00 00 41  00 00 0C 42"
    "                   00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
    "  00 00 00 41  07  00 00 56 42  00 00 00 41  00 00 0C 42"
    "                   00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
    "  00 00 00 41  07  00 00 56 42  00 00 00 41  00 00 0C 42"
    "                   00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00";
inline constexpr const char* kRcSwitchReply =
    "00 03"
    "  00 00 00  05 00 00 00 00 00"
    "  00 00 00  05 00 00 00 00 00"
    "  00 00 00  05 00 00 00 00 00";
inline constexpr const char* kRcAlarmReply =
    "00 03"
    "  00  07 00 00 00 00 00 00 00"
    "  00  07 00 00 00 00 00 00 00"
    "  00  07 00 00 00 00 00 00 00";

// One DC unit: 53.5 V, 25 A, dc_m = 2 (10.0, 12.5), dc_n = 0, p = 0.
inline constexpr const char* kDcAnalogReply =
    "00 01  00 00 56 42  00 00 C8 41  02 00 00 20 41 00 00 48 41  00  00";
// v_alarm 0, 64 fuse bytes, 17 user alarm bytes.
inline constexpr const char* kDcAlarmReply =
    "00 01  00"
    "  40  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "      00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "      00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "      00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "  11  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

// Five AC parameters (280, 150, 55, 45, 0) and P = 0.
inline constexpr const char* kAcParametersReply =
    "00 00 8C 43  00 00 16 43  00 00 5C 42  00 00 34 42  00 00 00 00  00";
// 57.6, 43.2, P = 26 and 26 zero values.
inline constexpr const char* kDcParametersReply =
    "66 66 66 42  CD CC 2C 42  1A"
    "  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
    "  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
    "  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
    "  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00";

struct GoldenReply {
  unsigned char cid1;
  unsigned char cid2;
  const char* info;
};

// The default scenario's answers in the order of a full first cycle (device information first).
inline constexpr GoldenReply kDefaultCycle[] = {
    {0x40, 0x51, kModelReply},        {0x40, 0x41, kAcAnalogReply},
    {0x40, 0x43, kAcSwitchReply},     {0x40, 0x44, kAcAlarmReply},
    {0x41, 0x41, kRcAnalogReply},     {0x41, 0x43, kRcSwitchReply},
    {0x41, 0x44, kRcAlarmReply},      {0x42, 0x41, kDcAnalogReply},
    {0x42, 0x44, kDcAlarmReply},      {0x40, 0x46, kAcParametersReply},
    {0x42, 0x46, kDcParametersReply},
};

}  // namespace k426b_golden
