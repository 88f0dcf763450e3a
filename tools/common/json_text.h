#pragma once

// JSON as the host writes it out: one compact line, numbers as people read them.

#include <string>

#include <json/value.h>

// One line of JSON, UTF-8 kept as it is. Each thread makes its writer once.
std::string CompactJson(const Json::Value& value);

// A float as a JSON number with its shortest round-trip digits (230.1, not 230.100006...);
// null for values JSON cannot carry (NaN, infinities).
Json::Value FloatJson(float value);
