#pragma once

// K426BDC: the DC distribution unit of the K426B power system family (device type
// "k426b-dc", record type 5096). Adds the model's user-defined alarm states to the unit's rules.

#include <string>

#include "units/dc/pmbus_power_dc.h"
#include "units/dc/tele_c_k426b_dc.h"

class K426BDC : public PMBusPowerDC<tele_c_k426b_dc, 5096> {
 public:
  // Built by the unit's own factory.
  K426BDC();
  // Takes a text and keeps nothing of it: no operation of the unit would read it.
  explicit K426BDC(const std::string& text);
  ~K426BDC() override;

  // The 17 user-defined alarm rules, stated only when the reply carried exactly 17 states.
  void DoImpCheckAlert() override;
};
