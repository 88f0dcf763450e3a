#pragma once

// Reading a unit's values the way the host's database would: Get_Value per key, each answer a
// number or the text of the unit's refusal.

#include <string>
#include <vector>

#include <json/value.h>

#include "tools/host/status/unit_status.h"

class ZVKVDevice;

namespace k426b_host {

// Record types under which the units publish, by device type; 0 for anything else.
int RecordTypeOf(const std::string& device_type);

// Keys an AC unit with `screens` channel records serves; a DC unit's; none for the rectifier.
std::vector<std::string> ValueKeys(const std::string& device_type, unsigned screens);

// The AC snapshot's channel count byte (offset 16 of the head); 0 when the snapshot is short.
unsigned ScreenCount(const std::vector<unsigned char>& ac_snapshot);

// Asks the unit for each key. With no keys (the rectifier), one look-up with an empty key
// reports the unit's own answer.
std::vector<UnitValue> ReadUnitValues(const ZVKVDevice& unit, const std::vector<std::string>& keys);

// The `values` member of the event: key -> number or {"error": text}; for a unit without keys,
// {"error": text}.
Json::Value ValuesJson(const std::vector<UnitValue>& values, bool unit_has_keys);

// "ia 12.5  ib 12.4  channel_0_a 230.1 ..." for the human table; refusals show their text.
std::string ValuesLine(const std::vector<UnitValue>& values);

}  // namespace k426b_host
