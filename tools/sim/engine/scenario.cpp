#include "tools/sim/engine/scenario.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <type_traits>
#include <utility>

#include <json/reader.h>

#include "tools/common/strict_json.h"
#include "tools/sim/engine/replies.h"

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
      if (!known) throw ScenarioError(UnknownMemberMessage(where_, name, known_));
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
struct HasFields<T, std::void_t<decltype(VisitFields(std::declval<T&>(), std::declval<AnyField&>()))>>
    : std::true_type {};

void Read(const Json::Value& value, const std::string& where, uint8_t& out) {
  out = static_cast<uint8_t>(ReadInteger(value, where, 0, 255));
}

void Read(const Json::Value& value, const std::string& where, Reading& out) {
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

const Json::Value& RequireArray(const Json::Value& value, const std::string& where) {
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
std::enable_if_t<HasFields<Part>::value> Read(const Json::Value& value, const std::string& where, Part& part);

template <typename Part>
void ReadFields(ObjectReader& object, Part& part) {
  auto field = [&object](const char* key, auto& member) {
    if (const Json::Value* given = object.Find(key)) Read(*given, object.Where(key), member);
  };
  VisitFields(part, field);
}

template <typename Part>
std::enable_if_t<HasFields<Part>::value> Read(const Json::Value& value, const std::string& where, Part& part) {
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

Json::Value Write(uint8_t byte) { return Json::UInt(byte); }

// The float's shortest decimal form, so that 57.6 reads back as 57.6 and not 57.5999985.
Json::Value Write(const Reading& reading) {
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
Json::Value Write(const std::vector<T>& list) { return WriteList(list); }
template <typename T, std::size_t N>
Json::Value Write(const std::array<T, N>& list) { return WriteList(list); }

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
  ReadFields(object, scenario);
  if (const Json::Value* v = object.Find("model")) {
    if (!v->isString()) Fail("model", "expected a text");
    if (v->asString().size() > kModelFieldSize) Fail("model", "longer than the 20-byte model field");
    scenario.model = v->asString();
  }
  if (const Json::Value* v = object.Find("version")) {
    uint8_t version = 0;
    if (!v->isNull()) Read(*v, "version", version);
    scenario.version = v->isNull() ? std::nullopt : std::optional<uint8_t>(version);
  }
  if (const Json::Value* v = object.Find("changes")) {
    scenario.changes.clear();
    for (Json::ArrayIndex i = 0; i < RequireArray(*v, "changes").size(); ++i)
      scenario.changes.push_back(ReadChange((*v)[i], Element("changes", i)));
  }
  if (const Json::Value* v = object.Find("faults")) {
    scenario.faults.clear();
    for (Json::ArrayIndex i = 0; i < RequireArray(*v, "faults").size(); ++i)
      scenario.faults.push_back(ReadFault((*v)[i], Element("faults", i)));
  }
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
  Json::Value document;
  if (const std::string problem = LoadJsonFile(path, "scenario", document); !problem.empty())
    throw ScenarioError(problem);
  try {
    return ScenarioFromJson(document);
  } catch (const ScenarioError& error) {
    throw ScenarioError(path + ": " + error.what());
  }
}

Json::Value ScenarioToJson(const Scenario& scenario) {
  Json::Value root = Write(scenario);
  root["model"] = scenario.model;
  root["version"] = scenario.version ? Json::Value(Json::UInt(*scenario.version)) : Json::Value();
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
