#pragma once

// What the simulated power system reports: its model, address, units with their values, switch,
// alarm and parameter bytes, and a script of changes and faults over time.
//
// The JSON form uses the member names below in lower case with underscores. Every list length
// becomes a count byte in the replies, so a scenario may announce unusual counts on purpose
// (three user switch bytes instead of two, say); fixed groups (four alarm bytes per screen,
// three current alarm bytes, three module state bytes, five AC parameters) must have their size.

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

namespace k426b_sim {

// A reading; an empty one goes out as the no-value marker 20 20 20 20.
using Reading = std::optional<float>;
using ByteList = std::vector<uint8_t>;

struct AcScreen {
  Reading a = 220.0f, b = 220.0f, c = 220.0f, f = 50.0f;
  std::vector<Reading> user_values;       // P of the 0x41 block (0 expected)
  std::array<uint8_t, 4> alarms{};        // a, b, c, f: 1 low, 2 high, 3 phase missing
  ByteList extra_alarms;                  // m of the 0x44 block (0 expected)
  ByteList user_alarms = ByteList(7, 0);  // p of the 0x44 block (7 expected)
};

struct AcUnit {
  std::vector<AcScreen> screens = {AcScreen{}};
  Reading ia = 10.0f, ib = 10.0f, ic = 10.0f;
  ByteList switches = ByteList(2, 0);       // m of the 0x43 block (at most 8)
  ByteList user_switches = ByteList(2, 0);  // p of the 0x43 block (2 expected)
  std::array<uint8_t, 3> current_alarms{};  // ia, ib, ic
};

struct DcUnit {
  Reading v = 53.5f, i = 25.0f;
  std::vector<Reading> m_values = {10.0f, 12.5f};  // at most 4
  std::vector<Reading> n_values;                   // at most 9
  std::vector<Reading> user_values;                // at most 11
  uint8_t v_alarm = 0;                             // 1 too low, 2 too high
  ByteList fuses = ByteList(64, 0);                // 3: fuse fault
  ByteList user_alarms = ByteList(17, 0);
};

struct RcModule {
  Reading current = 8.0f;
  std::vector<Reading> values = {53.5f, 8.0f, 35.0f, 0.0f, 0.0f, 0.0f, 0.0f};  // 7 expected
  std::array<uint8_t, 3> states{};
  ByteList extra_states = ByteList(5, 0);  // 5 expected
  uint8_t alarm = 0;                       // 1: module fault
  // fault, fan, over-temperature, power limit, AC input outage, communication, AC undervoltage
  ByteList extra_alarms = ByteList(7, 0);
};

struct Rectifier {
  Reading group_value = 53.5f;
  std::vector<RcModule> modules = std::vector<RcModule>(3);
};

struct Parameters {
  std::array<Reading, 5> ac = {{280.0f, 150.0f, 55.0f, 45.0f, 0.0f}};
  std::vector<Reading> ac_extra;  // P of the 0x40/0x46 reply (0 expected)
  Reading dc_first = 57.6f, dc_second = 43.2f;
  std::vector<Reading> dc = std::vector<Reading>(26, 0.0f);  // 26 expected
};

// "at_cycle": the change takes effect when cycle N starts (cycles count from 1);
// "after_seconds": when the first query at least T seconds after the first query arrives.
struct ScriptedChange {
  std::optional<int> at_cycle;
  std::optional<double> after_seconds;
  Json::Value set;  // object: field path ("ac_units.0.screens.0.alarms.1") -> new value
};

enum class FaultKind {
  kBadChksum,
  kBadLchksum,
  kNoReply,
  kTruncated,
  kNoise,
  kWrongCid1,
  kWrongUnitCount,
  kRtnError,
  kOverlongCount,
  // The reply sent under the next address: on a shared line it looks like another device's.
  kForeignAddress,
};
inline constexpr FaultKind kAllFaultKinds[] = {
    FaultKind::kBadChksum,      FaultKind::kBadLchksum, FaultKind::kNoReply,
    FaultKind::kTruncated,      FaultKind::kNoise,      FaultKind::kWrongCid1,
    FaultKind::kWrongUnitCount, FaultKind::kRtnError,   FaultKind::kOverlongCount,
    FaultKind::kForeignAddress,
};
const char* FaultName(FaultKind kind);
std::optional<FaultKind> FaultFromName(const std::string& name);

// A fault for the next `count` replies that match the cycle and the query (either may be open).
struct ScriptedFault {
  FaultKind kind = FaultKind::kNoReply;
  std::optional<int> cycle;
  std::optional<std::string> query;  // "40_41", "41_44", ...
  int count = 1;
};

struct Scenario {
  std::string model = "K426B";
  // The byte the model field is padded with: a blank, as most systems send, or NUL or 0xFF.
  uint8_t model_fill = ' ';
  uint8_t address = 1;
  // Queries with another VER are answered with RTN 0x01; empty accepts any version.
  std::optional<uint8_t> version = 0x20;
  std::vector<AcUnit> ac_units = std::vector<AcUnit>(2);
  std::vector<DcUnit> dc_units = std::vector<DcUnit>(1);
  Rectifier rectifier;
  Parameters parameters;
  std::vector<ScriptedChange> changes;
  std::vector<ScriptedFault> faults;
};

class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The defaults above, with the second AC unit at 230 V and 5 A so that the two blocks differ.
Scenario DefaultScenario();

// Both throw ScenarioError with a message that names the member at fault.
Scenario ScenarioFromJson(const Json::Value& document);
Scenario LoadScenarioFile(const std::string& path);
Json::Value ScenarioToJson(const Scenario& scenario);

// Sets the fields of `change.set` in a copy of `scenario`; throws ScenarioError when a path does
// not name a field or the result is not a valid scenario.
Scenario ApplyChange(const Scenario& scenario, const ScriptedChange& change);

}  // namespace k426b_sim
