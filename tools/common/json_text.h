#pragma once

// JSON as the host writes it out: one compact line, numbers as people read them.

#include <string>

#include <json/value.h>

// One line of JSON, valid UTF-8 kept as it is and other bytes of its texts as `\xFF`
// (WithValidUtf8). Each thread makes its writer once.
std::string CompactJson(const Json::Value& value);

// JSON a writer made with "emitUTF8", which copies the bytes of a text as they are: each byte
// that is not part of valid UTF-8 (found only inside strings) becomes the escaped backslash and
// `xFF`, so that the string read back holds the four characters `\xFF`.
std::string WithValidUtf8(std::string json);

// A float as a JSON number with its shortest round-trip digits (230.1, not 230.100006...);
// null for values JSON cannot carry (NaN, infinities).
Json::Value FloatJson(float value);
