#pragma once

// Little-endian field access for the packed telemetry records. Record fields are byte arrays,
// so no access depends on alignment.

#include <cstdint>
#include <cstring>

inline void store_u32(unsigned char* field, uint32_t value) {
  for (int i = 0; i < 4; ++i) field[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline uint32_t load_u32(const unsigned char* field) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | field[i];
  return value;
}

inline float load_float(const unsigned char* field) {
  const uint32_t bits = load_u32(field);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline void store_float(unsigned char* field, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  store_u32(field, bits);
}

// A four-byte value whose bytes are all equal and not zero carries no value.
inline bool is_no_value_marker(const unsigned char* value) {
  return value[0] != 0 && value[0] == value[1] && value[1] == value[2] && value[2] == value[3];
}

// -0.1 as the units store it in place of a missing value (bit pattern 0xBDCCCCCD).
inline constexpr uint32_t kMissingValueBits = 0xBDCCCCCDu;
