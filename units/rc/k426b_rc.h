#pragma once

// The rectifier unit of the K426B power system: device type "k426b-rc", record type 5095. It
// adds seven per-module alarm rules, read from the module's extra alarm bytes, to the "RC_0"
// rule of its template.

#include "units/rc/pmbus_power_rc.h"
#include "units/rc/tele_c_k426b_rc.h"

class K426BRC : public PMBusPowerRC<tele_c_k426b_rc, tele_c_k426b_rc_channel, 5095> {
 public:
  K426BRC();
  ~K426BRC() override;

  // For every module whose last 41_44 block announced its 7 extra alarm bytes: the seven rules
  // of its fault, fan, over-temperature, power limit, AC outage, communication and AC
  // undervoltage bytes, module by module.
  void DoImpCheckAlert() override;
};
