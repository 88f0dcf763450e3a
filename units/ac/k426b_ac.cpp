#include "units/ac/k426b_ac.h"

K426BAC::K426BAC() { device_type_ = "k426b-ac"; }

K426BAC::~K426BAC() = default;

void K426BAC::DoImpCheckAlert() {}
