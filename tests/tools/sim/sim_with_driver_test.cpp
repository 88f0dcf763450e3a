// The driver itself against the simulator, in process: every reply decodes without a protocol
// error, the values arrive, and a scripted alarm is raised and cleared through the change bits.

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/reader.h>

#include "plugin/k426b.h"
#include "tests/support/recording_host.h"
#include "tools/sim/engine/simulator.h"

namespace {

using k426b_sim::DefaultScenario;
using k426b_sim::Scenario;
using k426b_sim::Simulator;
using k426b_sim::SimulatorOptions;

Json::Value ExampleConfig() {
  std::ifstream file(std::string(K426B_SOURCE_DIR) + "/examples/k426b.json");
  Json::Value config;
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), file, &config, nullptr));
  // A dropped reply is given up at once, so that faulted cycles run without waiting.
  config["timeout_ms"] = 1;
  return config;
}

class DriverOnSimulator {
 public:
  explicit DriverOnSimulator(Scenario scenario, SimulatorOptions options = {})
      : simulator_(std::move(scenario), std::move(options)) {
    device_->AttachPort([this](const unsigned char* bytes, unsigned length) {
      line_.append(reinterpret_cast<const char*>(bytes), length);
      return true;
    });
    init_ok_ = device_->Init(host_.controller, ExampleConfig()["data_id"].asUInt(), ExampleConfig());
  }
  ~DriverOnSimulator() { device_->AttachPort(nullptr); }

  // The host's serial loop until `cycles` more cycles have completed (or a generous limit).
  void RunCycles(std::size_t cycles) {
    const std::size_t target = host_.events->cycles().size() + cycles;
    for (int turn = 0; turn < 2000 && host_.events->cycles().size() < target; ++turn) {
      // Past the quiet time, as two seconds later.
      device_->SetLastRoundTime(boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(3));
      if (device_->Busy() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      device_->RefreshStatus();
      while (!line_.empty()) {
        const std::string sent = std::move(line_);
        line_.clear();
        for (std::string& reply :
             simulator_.OnBytes(reinterpret_cast<const unsigned char*>(sent.data()), sent.size()))
          device_->process(reinterpret_cast<unsigned char*>(reply.data()), static_cast<unsigned>(reply.size()));
      }
    }
    host_.drain();
  }

  float Value(unsigned data_id, const std::string& key) {
    return device_->GetChildVDevice(data_id)->Get_Value(data_id, key);
  }
  std::vector<std::string> ProtocolErrors() const {
    std::vector<std::string> errors;
    for (const std::string& text : host_.events->log_texts())
      if (text.find("ProcotolError") != std::string::npos) errors.push_back(text);
    return errors;
  }

  bool init_ok_ = false;
  RecordingHost host_;
  std::shared_ptr<K426B> device_ = std::make_shared<K426B>();
  Simulator simulator_;
  std::string line_;
};

TEST(DriverOnSimulator, TheDefaultScenarioDecodesWithoutAProtocolErrorAndServesItsValues) {
  DriverOnSimulator rig(DefaultScenario());
  ASSERT_TRUE(rig.init_ok_);
  rig.RunCycles(2);

  ASSERT_EQ(rig.host_.events->cycles().size(), 2u);
  EXPECT_EQ(rig.ProtocolErrors(), std::vector<std::string>{});
  EXPECT_TRUE(rig.host_.events->frame_errors().empty());
  EXPECT_TRUE(rig.host_.events->alarms().empty()) << "an accepted model and no alarm bytes";
  EXPECT_FLOAT_EQ(rig.Value(101, "channel_0_a"), 220.0f);
  EXPECT_FLOAT_EQ(rig.Value(102, "channel_0_a"), 230.0f);
  EXPECT_FLOAT_EQ(rig.Value(102, "ia"), 5.0f);
  EXPECT_FLOAT_EQ(rig.Value(201, "v"), 53.5f);
  // Four history rows a cycle: two AC units, one DC unit and the rectifier unit.
  EXPECT_EQ(rig.host_.events->history().size(), 8u);
}

TEST(DriverOnSimulator, AScriptedAlarmIsRaisedThroughTheChangeBitAndClearedLater) {
  Scenario scenario = DefaultScenario();
  k426b_sim::ScriptedChange raise, clear;
  raise.at_cycle = 3;
  raise.set["ac_units.0.screens.0.alarms.0"] = 1;
  clear.at_cycle = 5;
  clear.set["ac_units.0.screens.0.alarms.0"] = 0;
  scenario.changes = {raise, clear};
  DriverOnSimulator rig(scenario);
  rig.RunCycles(2);
  ASSERT_TRUE(rig.host_.events->alarms().empty());

  rig.RunCycles(1);
  const std::vector<RecordedAlarm> raised = rig.host_.events->alarms();
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_EQ(raised[0].data_id, 101u);
  EXPECT_TRUE(raised[0].raised);

  rig.RunCycles(2);
  const std::vector<RecordedAlarm> alarms = rig.host_.events->alarms();
  ASSERT_EQ(alarms.size(), 2u);
  EXPECT_EQ(alarms[1].rule.rule_id, raised[0].rule.rule_id);
  EXPECT_FALSE(alarms[1].raised);
}

TEST(DriverOnSimulator, AnUnknownModelRaisesTheModelAlarm) {
  Scenario scenario = DefaultScenario();
  scenario.model = "K999X";
  DriverOnSimulator rig(scenario);
  rig.RunCycles(1);
  bool model_rule = false;
  for (const RecordedRule& rule : rig.host_.events->rules())
    model_rule = model_rule || (rule.data_id == 100 && rule.rule.rule_id == "device_model");
  EXPECT_TRUE(model_rule);
}

TEST(DriverOnSimulator, CyclesCompleteThroughEveryKindOfFault) {
  SimulatorOptions options;
  options.fault_rate = 0.3;
  options.seed = 3;
  DriverOnSimulator rig(DefaultScenario(), options);
  rig.RunCycles(6);

  EXPECT_EQ(rig.host_.events->cycles().size(), 6u);
  EXPECT_GT(rig.simulator_.Faults().size(), 5u);
  EXPECT_EQ(rig.host_.events->history().size(), 6u * 4u) << "every completed cycle is stored";
}

}  // namespace
