#pragma once

#include "composite/pmbus_power.h"
#include "units/ac/k426b_ac.h"
#include "units/dc/k426b_dc.h"
#include "units/rc/k426b_rc.h"

// The composite device of the K426B family: models "K426B", "K515F" and "K525F" at 9600 baud.
class K426B : public PMBusPower<K426BAC, K426BDC, K426BRC> {
 public:
  K426B();
  ~K426B() override;
};
