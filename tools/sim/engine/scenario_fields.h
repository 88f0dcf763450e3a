#pragma once

// Reading and writing the parts of a scenario: one field list per part (VisitFields) serves
// both directions, every member read is checked against the list so that a misspelt member is an
// error, and every error names where in the document it is ("ac_units[0].screens"). Used
// by scenario.cpp only.

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <json/value.h>

#include "tools/sim/engine/scenario.h"

namespace k426b_sim {

[[noreturn]] inline void Fail(const std::string& where, const std::string& what) {
  throw ScenarioError(where + ": " + what);
}

inline std::string Member(const std::string& where, const char* key) {
  return where.empty() ? std::string(key) : where + "." + key;
}

inline std::string Element(const std::string& where, Json::ArrayIndex index) {
  return where + "[" + std::to_string(index) + "]";
}

// Reads one JSON object; remembers which members were read so that a misspelt member is an
// error instead of a silently ignored setting.
class ObjectReader {
 public:
  ObjectReader(const Json::Value& value, std::string where)
      : value_(value), where_(std::move(where)) {
    if (!value_.isObject()) Fail(where_.empty() ? "scenario" : where_, "expected an object");
  }

  const Json::Value* Find(const char* key) {
    known_.push_back(key);
    return value_.isMember(key) ? &value_[key] : nullptr;
  }
  std::string Where(const char* key) const { return Member(where_, key); }

  void RejectUnknown() const {
    for (const std::string& name : value_.getMemberNames()) {
      bool known = false;
      for (const std::string& key : known_) known = known || key == name;
      if (!known) throw ScenarioError(UnknownMemberMessage(where_, name, known_));
    }
  }

 private:
  const Json::Value& value_;
  std::string where_;
  std::vector<std::string> known_;
};

inline long ReadInteger(const Json::Value& value, const std::string& where, long low, long high) {
  if (!value.isNumeric() || (value.isDouble() && std::floor(value.asDouble()) != value.asDouble()))
    Fail(where, "expected an integer from " + std::to_string(low) + " to " + std::to_string(high));
  const double number = value.asDouble();
  if (number < static_cast<double>(low) || number > static_cast<double>(high)) {
    std::ostringstream text;
    text << "value " << number << " out of range " << low << " to " << high;
    Fail(where, text.str());
  }
  return static_cast<long>(number);
}

// The members of each part of a scenario, listed once for reading and for writing.
template <typename Fields>
void VisitFields(AcScreen& screen, Fields& field) {
  field("a", screen.a);
  field("b", screen.b);
  field("c", screen.c);
  field("f", screen.f);
  field("user_values", screen.user_values);
  field("alarms", screen.alarms);
  field("extra_alarms", screen.extra_alarms);
  field("user_alarms", screen.user_alarms);
}

template <typename Fields>
void VisitFields(AcUnit& unit, Fields& field) {
  field("screens", unit.screens);
  field("ia", unit.ia);
  field("ib", unit.ib);
  field("ic", unit.ic);
  field("switches", unit.switches);
  field("user_switches", unit.user_switches);
  field("current_alarms", unit.current_alarms);
}

template <typename Fields>
void VisitFields(DcUnit& unit, Fields& field) {
  field("v", unit.v);
  field("i", unit.i);
  field("m_values", unit.m_values);
  field("n_values", unit.n_values);
  field("user_values", unit.user_values);
  field("v_alarm", unit.v_alarm);
  field("fuses", unit.fuses);
  field("user_alarms", unit.user_alarms);
}

template <typename Fields>
void VisitFields(RcModule& module, Fields& field) {
  field("current", module.current);
  field("values", module.values);
  field("states", module.states);
  field("extra_states", module.extra_states);
  field("alarm", module.alarm);
  field("extra_alarms", module.extra_alarms);
}

template <typename Fields>
void VisitFields(Rectifier& rectifier, Fields& field) {
  field("group_value", rectifier.group_value);
  field("modules", rectifier.modules);
}

template <typename Fields>
void VisitFields(Parameters& parameters, Fields& field) {
  field("ac", parameters.ac);
  field("ac_extra", parameters.ac_extra);
  field("dc_first", parameters.dc_first);
  field("dc_second", parameters.dc_second);
  field("dc", parameters.dc);
}

// The part of the top level that is plain data; model, version and the script are read apart.
template <typename Fields>
void VisitFields(Scenario& scenario, Fields& field) {
  field("model_fill", scenario.model_fill);
  field("address", scenario.address);
  field("ac_units", scenario.ac_units);
  field("dc_units", scenario.dc_units);
  field("rectifier", scenario.rectifier);
  field("parameters", scenario.parameters);
}

struct AnyField {
  template <typename T>
  void operator()(const char*, T&) const {}
};
template <typename T, typename = void>
struct HasFields : std::false_type {};
template <typename T>
struct HasFields<T,
                 std::void_t<decltype(VisitFields(std::declval<T&>(), std::declval<AnyField&>()))>>
    : std::true_type {};

inline void Read(const Json::Value& value, const std::string& where, uint8_t& out) {
  out = static_cast<uint8_t>(ReadInteger(value, where, 0, 255));
}

inline void Read(const Json::Value& value, const std::string& where, Reading& out) {
  if (value.isNull()) {
    out.reset();
    return;
  }
  if (!value.isNumeric()) Fail(where, "expected a number or null (no value)");
  const double number = value.asDouble();
  if (!std::isfinite(number) || std::fabs(number) > std::numeric_limits<float>::max())
    Fail(where, "number does not fit a float");
  out = static_cast<float>(number);
}

inline const Json::Value& RequireArray(const Json::Value& value, const std::string& where) {
  if (!value.isArray()) Fail(where, "expected an array");
  // Every list length is sent as a count byte.
  if (value.size() > 255) Fail(where, "more than 255 entries");
  return value;
}

template <typename T>
void Read(const Json::Value& value, const std::string& where, std::vector<T>& out);
template <typename T, std::size_t N>
void Read(const Json::Value& value, const std::string& where, std::array<T, N>& out);

// A part with members: those given are read over the part's defaults.
template <typename Part>
std::enable_if_t<HasFields<Part>::value> Read(const Json::Value& value, const std::string& where,
                                              Part& part);

template <typename Part>
void ReadFields(ObjectReader& object, Part& part) {
  auto field = [&object](const char* key, auto& member) {
    if (const Json::Value* given = object.Find(key)) Read(*given, object.Where(key), member);
  };
  VisitFields(part, field);
}

template <typename Part>
std::enable_if_t<HasFields<Part>::value> Read(const Json::Value& value, const std::string& where,
                                              Part& part) {
  ObjectReader object(value, where);
  ReadFields(object, part);
  object.RejectUnknown();
}

// A list replaces the default list; each element starts from the element defaults.
template <typename T>
void Read(const Json::Value& value, const std::string& where, std::vector<T>& out) {
  out.assign(RequireArray(value, where).size(), T{});
  for (Json::ArrayIndex i = 0; i < value.size(); ++i) Read(value[i], Element(where, i), out[i]);
}

template <typename T, std::size_t N>
void Read(const Json::Value& value, const std::string& where, std::array<T, N>& out) {
  if (RequireArray(value, where).size() != N)
    Fail(where, "expected " + std::to_string(N) + " entries, got " + std::to_string(value.size()));
  for (Json::ArrayIndex i = 0; i < N; ++i) Read(value[i], Element(where, i), out[i]);
}

inline Json::Value Write(uint8_t byte) { return Json::UInt(byte); }

// The float's shortest decimal form, so that 57.6 reads back as 57.6 and not 57.5999985.
inline Json::Value Write(const Reading& reading) {
  if (!reading) return Json::Value(Json::nullValue);
  char text[32];
  const std::to_chars_result end = std::to_chars(text, text + sizeof text - 1, *reading);
  *end.ptr = '\0';
  return Json::Value(std::strtod(text, nullptr));
}

template <typename T>
Json::Value Write(const std::vector<T>& list);
template <typename T, std::size_t N>
Json::Value Write(const std::array<T, N>& list);

template <typename Part>
std::enable_if_t<HasFields<Part>::value, Json::Value> Write(const Part& part) {
  Json::Value object(Json::objectValue);
  auto field = [&object](const char* key, const auto& member) { object[key] = Write(member); };
  // The field list serves reading and writing alike; this visit only reads the part.
  VisitFields(const_cast<Part&>(part), field);
  return object;
}

template <typename Container>
Json::Value WriteList(const Container& list) {
  Json::Value out(Json::arrayValue);
  for (const auto& element : list) out.append(Write(element));
  return out;
}
template <typename T>
Json::Value Write(const std::vector<T>& list) {
  return WriteList(list);
}
template <typename T, std::size_t N>
Json::Value Write(const std::array<T, N>& list) {
  return WriteList(list);
}

}  // namespace k426b_sim
