#pragma once

#include "units/ac/pmbus_power_ac.h"
#include "units/ac/tele_c_k426b_ac.h"

// The AC distribution unit of the K426B power system (device type "k426b-ac", record 5094).
class K426BAC : public PMBusPowerAC<tele_c_k426b_ac, tele_c_k426b_ac_channel, 5094> {
 public:
  K426BAC();
  ~K426BAC() override;

  // The AC rule tables cover everything this model reports.
  void DoImpCheckAlert() override;
};
