#pragma once

// Information bytes of well-formed replies of a K426B power system, built from a small
// description of the equipment, and a helper that scripts a ScriptedEquipment to answer the
// whole poll cycle with them.
//
//   AC  40/41  flag, units, per unit: N, N x (a b c f, P=0), ia ib ic       13 + 17N per unit
//       40/43  flag, units, per unit: m=2, 2 bytes, p=2, 2 bytes            6 per unit
//       40/44  flag, units, per unit: N, N x (4 alarms, m=0, p=7, 7), 3     4 + 13N per unit
//   RC  41/41  flag, group value, M, M x (value, 7, 7 values)               6 + 33M
//       41/43  flag, M, M x (3 states, 5, 5 bytes)                          2 + 9M
//       41/44  flag, M, M x (alarm, 7, 7 bytes)                             2 + 9M
//   DC  42/41  flag, units, per unit: v i, dc_m=0, dc_n=0, p=0              11 per unit
//       42/44  flag, units, per unit: v_alarm, m=0, p=0                     3 per unit
//   PAR 40/46  5 values, P=0 (21)              42/46  2 values, 26, 26 values (113)
//   INFO 40/51 model text padded to 20 bytes

#include <cstring>
#include <string>
#include <vector>

#include "tests/composite/scripted_equipment.h"

namespace k426b_replies {

inline Bytes le_float(float value) {
  unsigned char bytes[4];
  std::memcpy(bytes, &value, 4);
  return Bytes(bytes, bytes + 4);
}

inline void append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

inline Bytes model_field(const std::string& text, unsigned char fill = ' ', std::size_t size = 20) {
  Bytes field(text.begin(), text.end());
  if (field.size() < size) field.resize(size, fill);
  return field;
}

// One AC unit's 40/41 block: `screens` screens of 220 V / 50 Hz, phase currents ia, 10, 10.
inline Bytes ac_analog_block(unsigned screens, float ia) {
  Bytes block{static_cast<unsigned char>(screens)};
  for (unsigned screen = 0; screen < screens; ++screen) {
    for (float value : {220.0f, 220.0f, 220.0f, 50.0f}) append(block, le_float(value));
    block.push_back(0x00);
  }
  for (float value : {ia, 10.0f, 10.0f}) append(block, le_float(value));
  return block;
}

inline Bytes ac_switch_block() { return Bytes{0x02, 0x01, 0x00, 0x02, 0x00, 0x00}; }

inline Bytes ac_alarm_block(unsigned screens) {
  Bytes block{static_cast<unsigned char>(screens)};
  for (unsigned screen = 0; screen < screens; ++screen) {
    append(block, Bytes{0, 0, 0, 0, 0x00, 0x07});
    append(block, Bytes(7, 0x00));
  }
  append(block, Bytes{0, 0, 0});
  return block;
}

inline Bytes dc_analog_block(float voltage) {
  Bytes block = le_float(voltage);
  append(block, le_float(25.0f));
  append(block, Bytes{0x00, 0x00, 0x00});
  return block;
}

inline Bytes dc_alarm_block() { return Bytes{0x00, 0x00, 0x00}; }

// A reply of an AC or DC query: data flag, unit count, then the units' blocks.
inline Bytes unit_reply(unsigned char flag, const std::vector<Bytes>& blocks) {
  Bytes info{flag, static_cast<unsigned char>(blocks.size())};
  for (const Bytes& block : blocks) append(info, block);
  return info;
}

inline Bytes rc_analog(unsigned char flag, unsigned modules) {
  Bytes info{flag};
  append(info, le_float(53.5f));
  info.push_back(static_cast<unsigned char>(modules));
  for (unsigned module = 0; module < modules; ++module) {
    append(info, le_float(20.0f));
    info.push_back(0x07);
    for (int value = 0; value < 7; ++value) append(info, le_float(1.0f + value));
  }
  return info;
}

inline Bytes rc_switch(unsigned char flag, unsigned modules) {
  Bytes info{flag, static_cast<unsigned char>(modules)};
  for (unsigned module = 0; module < modules; ++module)
    append(info, Bytes{0x00, 0x00, 0x00, 0x05, 0, 0, 0, 0, 0});
  return info;
}

inline Bytes rc_alarm(unsigned char flag, unsigned modules) {
  Bytes info{flag, static_cast<unsigned char>(modules)};
  for (unsigned module = 0; module < modules; ++module)
    append(info, Bytes{0x00, 0x07, 0, 0, 0, 0, 0, 0, 0});
  return info;
}

inline Bytes ac_parameters() {
  Bytes info;
  for (float value : {280.0f, 180.0f, 10.0f, 20.0f, 30.0f}) append(info, le_float(value));
  info.push_back(0x00);
  return info;
}

inline Bytes dc_parameters() {
  Bytes info = le_float(57.6f);
  append(info, le_float(43.2f));
  info.push_back(26);
  for (int value = 0; value < 26; ++value) append(info, le_float(static_cast<float>(value)));
  return info;
}

// The equipment that the tests talk to, and its answers to every query of the cycle.
struct PowerSystem {
  std::string model = "K426B";
  std::vector<unsigned> ac_screens{1, 1};  // one entry per AC unit: its screen count
  std::vector<float> ac_currents;          // ia per AC unit; 10 A when not given
  std::vector<float> dc_voltages{53.5f};   // one entry per DC unit
  unsigned modules = 2;
  unsigned char ac_flag = 0x00;
  unsigned char rc_flag = 0x00;
  unsigned char dc_flag = 0x00;

  float ac_current(std::size_t unit) const {
    return unit < ac_currents.size() ? ac_currents[unit] : 10.0f;
  }

  Bytes ac_analog() const {
    std::vector<Bytes> blocks;
    for (std::size_t unit = 0; unit < ac_screens.size(); ++unit)
      blocks.push_back(ac_analog_block(ac_screens[unit], ac_current(unit)));
    return unit_reply(ac_flag, blocks);
  }
  Bytes ac_switch() const {
    return unit_reply(0x00, std::vector<Bytes>(ac_screens.size(), ac_switch_block()));
  }
  Bytes ac_alarm() const {
    std::vector<Bytes> blocks;
    for (unsigned screens : ac_screens) blocks.push_back(ac_alarm_block(screens));
    return unit_reply(0x00, blocks);
  }
  Bytes dc_analog() const {
    std::vector<Bytes> blocks;
    for (float voltage : dc_voltages) blocks.push_back(dc_analog_block(voltage));
    return unit_reply(dc_flag, blocks);
  }
  Bytes dc_alarm() const {
    return unit_reply(0x00, std::vector<Bytes>(dc_voltages.size(), dc_alarm_block()));
  }

  // Standing answers to every query, taken from the system as it is now.
  void script(ScriptedEquipment& equipment) const {
    equipment.Answer(0x40, 0x51, model_field(model));
    equipment.Answer(0x40, 0x41, ac_analog());
    equipment.Answer(0x40, 0x43, ac_switch());
    equipment.Answer(0x40, 0x44, ac_alarm());
    equipment.Answer(0x41, 0x41, rc_analog(rc_flag, modules));
    equipment.Answer(0x41, 0x43, rc_switch(0x00, modules));
    equipment.Answer(0x41, 0x44, rc_alarm(0x00, modules));
    equipment.Answer(0x42, 0x41, dc_analog());
    equipment.Answer(0x42, 0x44, dc_alarm());
    equipment.Answer(0x40, 0x46, ac_parameters());
    equipment.Answer(0x42, 0x46, dc_parameters());
  }
};

}  // namespace k426b_replies
