#include "tools/host/line/simulated_line.h"

#include <exception>

#include "tools/sim/engine/simulator.h"
#include "tools/sim/serve/serial_link.h"

namespace k426b_host {

namespace {

// The scenario of `scenario_path` (empty: the defaults); null with `error` set when it is bad.
std::unique_ptr<k426b_sim::Simulator> LoadSimulator(const std::string& scenario_path,
                                                    std::string& error) {
  try {
    k426b_sim::Scenario scenario = scenario_path.empty()
                                       ? k426b_sim::DefaultScenario()
                                       : k426b_sim::LoadScenarioFile(scenario_path);
    return std::make_unique<k426b_sim::Simulator>(std::move(scenario));
  } catch (const std::exception& failure) {
    error = "scenario " + (scenario_path.empty() ? std::string("(default)") : scenario_path) +
            ": " + failure.what();
    return nullptr;
  }
}

}  // namespace

std::string SimulatedLine::CheckScenario(const std::string& scenario_path) {
  std::string error;
  LoadSimulator(scenario_path, error);
  return error;
}

std::unique_ptr<SimulatedLine> SimulatedLine::Start(const std::string& scenario_path,
                                                    std::string& error) {
  std::unique_ptr<SimulatedLine> line(new SimulatedLine());
  std::unique_ptr<k426b_sim::Simulator> simulator = LoadSimulator(scenario_path, error);
  if (!simulator) return nullptr;
  try {
    line->server_ = std::make_shared<k426b_sim::PtyServer>(std::move(simulator));
  } catch (const std::exception& failure) {
    error = std::string("cannot start the simulator: ") + failure.what();
    return nullptr;
  }
  line->path_ = line->server_->SlavePath();
  return line;
}

void SimulatedLine::Stop() {
  if (server_) server_->Stop();
  server_.reset();
}

}  // namespace k426b_host
