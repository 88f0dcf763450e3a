#include "tools/sim/engine/scenario.h"

#include <cstdlib>
#include <fstream>
#include <utility>

#include <json/reader.h>

#include "tools/common/strict_json.h"
#include "tools/sim/engine/replies.h"
#include "tools/sim/engine/scenario_fields.h"

namespace k426b_sim {
namespace {

constexpr const char* kFaultNames[] = {
    "bad_chksum", "bad_lchksum",      "no_reply",  "truncated",      "noise",
    "wrong_cid1", "wrong_unit_count", "rtn_error", "overlong_count", "foreign_address",
};

ScriptedChange ReadChange(const Json::Value& value, const std::string& where) {
  ScriptedChange change;
  ObjectReader object(value, where);
  if (const Json::Value* v = object.Find("at_cycle"))
    change.at_cycle = static_cast<int>(ReadInteger(*v, object.Where("at_cycle"), 1, 1000000000));
  if (const Json::Value* v = object.Find("after_seconds")) {
    if (!v->isNumeric() || v->asDouble() < 0)
      Fail(object.Where("after_seconds"), "expected a number >= 0");
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
      Fail(where,
           std::string(FaultName(fault.kind)) + " cannot apply to the " + *fault.query + " reply");
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
    if (v->asString().size() > kModelFieldSize)
      Fail("model", "longer than the 20-byte model field");
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
