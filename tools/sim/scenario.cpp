#include "tools/sim/scenario.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <sstream>

#include <json/reader.h>

#include "tools/sim/replies.h"

namespace k426b_sim {
namespace {

constexpr const char* kFaultNames[] = {
    "bad_chksum", "bad_lchksum", "no_reply", "truncated", "noise",
    "wrong_cid1", "wrong_unit_count", "rtn_error", "overlong_count",
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw ScenarioError(where + ": " + what);
}

std::string Member(const std::string& where, const char* key) {
  return where.empty() ? std::string(key) : where + "." + key;
}

std::string Element(const std::string& where, Json::ArrayIndex index) {
  return where + "[" + std::to_string(index) + "]";
}

// Reads one JSON object; remembers which members were read so that a misspelt member is an
// error instead of a silently ignored setting.
class ObjectReader {
 public:
  ObjectReader(const Json::Value& value, std::string where) : value_(value), where_(std::move(where)) {
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
      if (!known) Fail(Member(where_, name.c_str()), "unknown member");
    }
  }

 private:
  const Json::Value& value_;
  std::string where_;
  std::vector<std::string> known_;
};

long ReadInteger(const Json::Value& value, const std::string& where, long low, long high) {
  if (!value.isNumeric() || (value.isDouble() && std::floor(value.asDouble()) != value.asDouble()))
    Fail(where, "expected an integer from " + std::to_string(low) + " to " + std::to_string(high));
  const double number = value.asDouble();
  if (number < static_cast<double>(low) || number > static_cast<double>(high))
  {
    std::ostringstream text;
    text << "value " << number << " out of range " << low << " to " << high;
    Fail(where, text.str());
  }
  return static_cast<long>(number);
}

uint8_t ReadByte(const Json::Value& value, const std::string& where) {
  return static_cast<uint8_t>(ReadInteger(value, where, 0, 255));
}

Reading ReadReading(const Json::Value& value, const std::string& where) {
  if (value.isNull()) return std::nullopt;
  if (!value.isNumeric()) Fail(where, "expected a number or null (no value)");
  const double number = value.asDouble();
  if (!std::isfinite(number) || std::fabs(number) > std::numeric_limits<float>::max())
    Fail(where, "number does not fit a float");
  return static_cast<float>(number);
}

const Json::Value& RequireArray(const Json::Value& value, const std::string& where) {
  if (!value.isArray()) Fail(where, "expected an array");
  // Every list length is sent as a count byte.
  if (value.size() > 255) Fail(where, "more than 255 entries");
  return value;
}

ByteList ReadBytes(const Json::Value& value, const std::string& where) {
  ByteList bytes;
  for (Json::ArrayIndex i = 0; i < RequireArray(value, where).size(); ++i)
    bytes.push_back(ReadByte(value[i], Element(where, i)));
  return bytes;
}

std::vector<Reading> ReadReadings(const Json::Value& value, const std::string& where) {
  std::vector<Reading> readings;
  for (Json::ArrayIndex i = 0; i < RequireArray(value, where).size(); ++i)
    readings.push_back(ReadReading(value[i], Element(where, i)));
  return readings;
}

template <std::size_t N, typename T, typename ReadOne>
void ReadFixed(const Json::Value& value, const std::string& where, std::array<T, N>& out,
               ReadOne read_one) {
  if (RequireArray(value, where).size() != N)
    Fail(where, "expected " + std::to_string(N) + " entries, got " + std::to_string(value.size()));
  for (Json::ArrayIndex i = 0; i < N; ++i) out[i] = read_one(value[i], Element(where, i));
}

template <std::size_t N>
void ReadFixedBytes(const Json::Value& value, const std::string& where, std::array<uint8_t, N>& out) {
  ReadFixed(value, where, out, ReadByte);
}

// Helpers that read an optional member into a field.
void Opt(ObjectReader& object, const char* key, Reading& field) {
  if (const Json::Value* v = object.Find(key)) field = ReadReading(*v, object.Where(key));
}
void Opt(ObjectReader& object, const char* key, uint8_t& field) {
  if (const Json::Value* v = object.Find(key)) field = ReadByte(*v, object.Where(key));
}
void Opt(ObjectReader& object, const char* key, ByteList& field) {
  if (const Json::Value* v = object.Find(key)) field = ReadBytes(*v, object.Where(key));
}
void Opt(ObjectReader& object, const char* key, std::vector<Reading>& field) {
  if (const Json::Value* v = object.Find(key)) field = ReadReadings(*v, object.Where(key));
}
template <std::size_t N>
void Opt(ObjectReader& object, const char* key, std::array<uint8_t, N>& field) {
  if (const Json::Value* v = object.Find(key)) ReadFixedBytes(*v, object.Where(key), field);
}

template <typename T, typename ReadOne>
void OptList(ObjectReader& object, const char* key, std::vector<T>& field, ReadOne read_one) {
  const Json::Value* v = object.Find(key);
  if (v == nullptr) return;
  const std::string where = object.Where(key);
  field.clear();
  for (Json::ArrayIndex i = 0; i < RequireArray(*v, where).size(); ++i)
    field.push_back(read_one((*v)[i], Element(where, i)));
}

AcScreen ReadAcScreen(const Json::Value& value, const std::string& where) {
  AcScreen screen;
  ObjectReader object(value, where);
  Opt(object, "a", screen.a);
  Opt(object, "b", screen.b);
  Opt(object, "c", screen.c);
  Opt(object, "f", screen.f);
  Opt(object, "user_values", screen.user_values);
  Opt(object, "alarms", screen.alarms);
  Opt(object, "extra_alarms", screen.extra_alarms);
  Opt(object, "user_alarms", screen.user_alarms);
  object.RejectUnknown();
  return screen;
}

AcUnit ReadAcUnit(const Json::Value& value, const std::string& where) {
  AcUnit unit;
  ObjectReader object(value, where);
  OptList(object, "screens", unit.screens, ReadAcScreen);
  Opt(object, "ia", unit.ia);
  Opt(object, "ib", unit.ib);
  Opt(object, "ic", unit.ic);
  Opt(object, "switches", unit.switches);
  Opt(object, "user_switches", unit.user_switches);
  Opt(object, "current_alarms", unit.current_alarms);
  object.RejectUnknown();
  return unit;
}

DcUnit ReadDcUnit(const Json::Value& value, const std::string& where) {
  DcUnit unit;
  ObjectReader object(value, where);
  Opt(object, "v", unit.v);
  Opt(object, "i", unit.i);
  Opt(object, "m_values", unit.m_values);
  Opt(object, "n_values", unit.n_values);
  Opt(object, "user_values", unit.user_values);
  Opt(object, "v_alarm", unit.v_alarm);
  Opt(object, "fuses", unit.fuses);
  Opt(object, "user_alarms", unit.user_alarms);
  object.RejectUnknown();
  return unit;
}

RcModule ReadRcModule(const Json::Value& value, const std::string& where) {
  RcModule module;
  ObjectReader object(value, where);
  Opt(object, "current", module.current);
  Opt(object, "values", module.values);
  Opt(object, "states", module.states);
  Opt(object, "extra_states", module.extra_states);
  Opt(object, "alarm", module.alarm);
  Opt(object, "extra_alarms", module.extra_alarms);
  object.RejectUnknown();
  return module;
}

Rectifier ReadRectifier(const Json::Value& value, const std::string& where) {
  Rectifier rectifier;
  ObjectReader object(value, where);
  Opt(object, "group_value", rectifier.group_value);
  OptList(object, "modules", rectifier.modules, ReadRcModule);
  object.RejectUnknown();
  return rectifier;
}

Parameters ReadParameters(const Json::Value& value, const std::string& where) {
  Parameters parameters;
  ObjectReader object(value, where);
  if (const Json::Value* v = object.Find("ac")) ReadFixed(*v, object.Where("ac"), parameters.ac, ReadReading);
  Opt(object, "ac_extra", parameters.ac_extra);
  Opt(object, "dc_first", parameters.dc_first);
  Opt(object, "dc_second", parameters.dc_second);
  Opt(object, "dc", parameters.dc);
  object.RejectUnknown();
  return parameters;
}

ScriptedChange ReadChange(const Json::Value& value, const std::string& where) {
  ScriptedChange change;
  ObjectReader object(value, where);
  if (const Json::Value* v = object.Find("at_cycle"))
    change.at_cycle = static_cast<int>(ReadInteger(*v, object.Where("at_cycle"), 1, 1000000000));
  if (const Json::Value* v = object.Find("after_seconds")) {
    if (!v->isNumeric() || v->asDouble() < 0) Fail(object.Where("after_seconds"), "expected a number >= 0");
    change.after_seconds = v->asDouble();
  }
  if (change.at_cycle.has_value() == change.after_seconds.has_value())
    Fail(where, "give exactly one of at_cycle and after_seconds");
  const Json::Value* set = object.Find("set");
  if (set == nullptr || !set->isObject() || set->empty())
    Fail(object.Where("set"), "expected an object of field paths and values");
  change.set = *set;
  object.RejectUnknown();
  return change;
}

ScriptedFault ReadFault(const Json::Value& value, const std::string& where) {
  ScriptedFault fault;
  ObjectReader object(value, where);
  const Json::Value* kind = object.Find("kind");
  if (kind == nullptr || !kind->isString()) Fail(object.Where("kind"), "expected a fault name");
  const std::optional<FaultKind> parsed = FaultFromName(kind->asString());
  if (!parsed) Fail(object.Where("kind"), "unknown fault \"" + kind->asString() + "\"");
  fault.kind = *parsed;
  if (const Json::Value* v = object.Find("cycle"))
    fault.cycle = static_cast<int>(ReadInteger(*v, object.Where("cycle"), 1, 1000000000));
  if (const Json::Value* v = object.Find("query")) {
    if (!v->isString() || FindQuery(v->asString()) == nullptr)
      Fail(object.Where("query"), "expected a query name such as \"40_41\"");
    fault.query = v->asString();
    if (!FaultApplies(fault.kind, FindQuery(*fault.query)->kind))
      Fail(where, std::string(FaultName(fault.kind)) + " cannot apply to the " + *fault.query + " reply");
  }
  if (const Json::Value* v = object.Find("count"))
    fault.count = static_cast<int>(ReadInteger(*v, object.Where("count"), 1, 1000000000));
  object.RejectUnknown();
  return fault;
}

// Builds every reply once, so that a scenario whose replies a frame cannot carry fails at load.
void CheckRepliesFit(const Scenario& scenario) {
  for (const QueryInfo& query : kQueries) {
    const std::size_t size = BuildReply(query.kind, scenario, 0).info.size();
    if (size * 2 > 0xFFF)
      Fail("scenario", "the " + std::string(query.name) + " reply needs " + std::to_string(size) +
                           " bytes, more than a frame carries (2047)");
  }
}

// The float's shortest decimal form, so that 57.6 reads back as 57.6 and not 57.5999985.
Json::Value ReadingJson(const Reading& reading) {
  if (!reading) return Json::Value(Json::nullValue);
  char text[32];
  const std::to_chars_result end = std::to_chars(text, text + sizeof text - 1, *reading);
  *end.ptr = '\0';
  return Json::Value(std::strtod(text, nullptr));
}
template <typename Container>
Json::Value ReadingsJson(const Container& readings) {
  Json::Value list(Json::arrayValue);
  for (const Reading& reading : readings) list.append(ReadingJson(reading));
  return list;
}
template <typename Container>
Json::Value BytesJson(const Container& bytes) {
  Json::Value list(Json::arrayValue);
  for (uint8_t byte : bytes) list.append(Json::UInt(byte));
  return list;
}

// Resolves "a.0.b" or "a[0].b" to the member it names; null when it names nothing.
Json::Value* ResolvePath(Json::Value& root, const std::string& path) {
  std::string normalised = path;
  for (char& c : normalised)
    if (c == '[' || c == ']') c = '.';
  Json::Value* node = &root;
  std::istringstream parts(normalised);
  std::string part;
  bool any = false;
  while (std::getline(parts, part, '.')) {
    if (part.empty()) continue;
    any = true;
    if (node->isArray()) {
      char* end = nullptr;
      const unsigned long index = std::strtoul(part.c_str(), &end, 10);
      if (*end != '\0' || index >= node->size()) return nullptr;
      node = &(*node)[static_cast<Json::ArrayIndex>(index)];
    } else if (node->isObject()) {
      if (!node->isMember(part)) return nullptr;
      node = &(*node)[part];
    } else {
      return nullptr;
    }
  }
  return any ? node : nullptr;
}

}  // namespace

const char* FaultName(FaultKind kind) { return kFaultNames[static_cast<int>(kind)]; }

std::optional<FaultKind> FaultFromName(const std::string& name) {
  for (FaultKind kind : kAllFaultKinds)
    if (name == FaultName(kind)) return kind;
  return std::nullopt;
}

Scenario DefaultScenario() {
  Scenario scenario;
  AcUnit& second = scenario.ac_units[1];
  second.screens[0].a = second.screens[0].b = second.screens[0].c = 230.0f;
  second.ia = second.ib = second.ic = 5.0f;
  return scenario;
}

Scenario ScenarioFromJson(const Json::Value& document) {
  Scenario scenario = DefaultScenario();
  ObjectReader object(document, "");
  if (const Json::Value* v = object.Find("model")) {
    if (!v->isString()) Fail("model", "expected a text");
    if (v->asString().size() > kModelFieldSize) Fail("model", "longer than the 20-byte model field");
    scenario.model = v->asString();
  }
  Opt(object, "address", scenario.address);
  if (const Json::Value* v = object.Find("version"))
    scenario.version = v->isNull() ? std::nullopt : std::optional<uint8_t>(ReadByte(*v, "version"));
  OptList(object, "ac_units", scenario.ac_units, ReadAcUnit);
  OptList(object, "dc_units", scenario.dc_units, ReadDcUnit);
  if (const Json::Value* v = object.Find("rectifier")) scenario.rectifier = ReadRectifier(*v, "rectifier");
  if (const Json::Value* v = object.Find("parameters")) scenario.parameters = ReadParameters(*v, "parameters");
  OptList(object, "changes", scenario.changes, ReadChange);
  OptList(object, "faults", scenario.faults, ReadFault);
  object.RejectUnknown();
  CheckRepliesFit(scenario);

  // A script that breaks the scenario fails now rather than in the middle of a run.
  Scenario scripted = scenario;
  for (std::size_t i = 0; i < scenario.changes.size(); ++i) {
    try {
      scripted = ApplyChange(scripted, scenario.changes[i]);
    } catch (const ScenarioError& error) {
      Fail(Element("changes", static_cast<Json::ArrayIndex>(i)), error.what());
    }
  }
  return scenario;
}

Scenario LoadScenarioFile(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw ScenarioError(path + ": cannot be read");
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["rejectDupKeys"] = true;
  Json::Value document;
  std::string errors;
  if (!Json::parseFromStream(builder, file, &document, &errors))
    throw ScenarioError(path + ": malformed JSON: " + errors.substr(0, errors.find('\n')));
  try {
    return ScenarioFromJson(document);
  } catch (const ScenarioError& error) {
    throw ScenarioError(path + ": " + error.what());
  }
}

Json::Value ScenarioToJson(const Scenario& scenario) {
  Json::Value root(Json::objectValue);
  root["model"] = scenario.model;
  root["address"] = Json::UInt(scenario.address);
  root["version"] = scenario.version ? Json::Value(Json::UInt(*scenario.version)) : Json::Value();

  Json::Value& ac_units = root["ac_units"] = Json::Value(Json::arrayValue);
  for (const AcUnit& unit : scenario.ac_units) {
    Json::Value item(Json::objectValue);
    Json::Value& screens = item["screens"] = Json::Value(Json::arrayValue);
    for (const AcScreen& screen : unit.screens) {
      Json::Value s(Json::objectValue);
      s["a"] = ReadingJson(screen.a);
      s["b"] = ReadingJson(screen.b);
      s["c"] = ReadingJson(screen.c);
      s["f"] = ReadingJson(screen.f);
      s["user_values"] = ReadingsJson(screen.user_values);
      s["alarms"] = BytesJson(screen.alarms);
      s["extra_alarms"] = BytesJson(screen.extra_alarms);
      s["user_alarms"] = BytesJson(screen.user_alarms);
      screens.append(s);
    }
    item["ia"] = ReadingJson(unit.ia);
    item["ib"] = ReadingJson(unit.ib);
    item["ic"] = ReadingJson(unit.ic);
    item["switches"] = BytesJson(unit.switches);
    item["user_switches"] = BytesJson(unit.user_switches);
    item["current_alarms"] = BytesJson(unit.current_alarms);
    ac_units.append(item);
  }

  Json::Value& dc_units = root["dc_units"] = Json::Value(Json::arrayValue);
  for (const DcUnit& unit : scenario.dc_units) {
    Json::Value item(Json::objectValue);
    item["v"] = ReadingJson(unit.v);
    item["i"] = ReadingJson(unit.i);
    item["m_values"] = ReadingsJson(unit.m_values);
    item["n_values"] = ReadingsJson(unit.n_values);
    item["user_values"] = ReadingsJson(unit.user_values);
    item["v_alarm"] = Json::UInt(unit.v_alarm);
    item["fuses"] = BytesJson(unit.fuses);
    item["user_alarms"] = BytesJson(unit.user_alarms);
    dc_units.append(item);
  }

  Json::Value& rectifier = root["rectifier"] = Json::Value(Json::objectValue);
  rectifier["group_value"] = ReadingJson(scenario.rectifier.group_value);
  Json::Value& modules = rectifier["modules"] = Json::Value(Json::arrayValue);
  for (const RcModule& module : scenario.rectifier.modules) {
    Json::Value item(Json::objectValue);
    item["current"] = ReadingJson(module.current);
    item["values"] = ReadingsJson(module.values);
    item["states"] = BytesJson(module.states);
    item["extra_states"] = BytesJson(module.extra_states);
    item["alarm"] = Json::UInt(module.alarm);
    item["extra_alarms"] = BytesJson(module.extra_alarms);
    modules.append(item);
  }

  Json::Value& parameters = root["parameters"] = Json::Value(Json::objectValue);
  parameters["ac"] = ReadingsJson(scenario.parameters.ac);
  parameters["ac_extra"] = ReadingsJson(scenario.parameters.ac_extra);
  parameters["dc_first"] = ReadingJson(scenario.parameters.dc_first);
  parameters["dc_second"] = ReadingJson(scenario.parameters.dc_second);
  parameters["dc"] = ReadingsJson(scenario.parameters.dc);

  Json::Value& changes = root["changes"] = Json::Value(Json::arrayValue);
  for (const ScriptedChange& change : scenario.changes) {
    Json::Value item(Json::objectValue);
    if (change.at_cycle) item["at_cycle"] = *change.at_cycle;
    if (change.after_seconds) item["after_seconds"] = *change.after_seconds;
    item["set"] = change.set;
    changes.append(item);
  }
  Json::Value& faults = root["faults"] = Json::Value(Json::arrayValue);
  for (const ScriptedFault& fault : scenario.faults) {
    Json::Value item(Json::objectValue);
    item["kind"] = FaultName(fault.kind);
    if (fault.cycle) item["cycle"] = *fault.cycle;
    if (fault.query) item["query"] = *fault.query;
    item["count"] = fault.count;
    faults.append(item);
  }
  return root;
}

Scenario ApplyChange(const Scenario& scenario, const ScriptedChange& change) {
  Json::Value document = ScenarioToJson(scenario);
  // The script itself is not re-read: it stays as it was loaded.
  document.removeMember("changes");
  document.removeMember("faults");
  for (const std::string& path : change.set.getMemberNames()) {
    Json::Value* field = ResolvePath(document, path);
    if (field == nullptr) Fail("set." + path, "names no field of the scenario");
    *field = change.set[path];
  }
  Scenario changed = ScenarioFromJson(document);
  changed.changes = scenario.changes;
  changed.faults = scenario.faults;
  return changed;
}

}  // namespace k426b_sim
