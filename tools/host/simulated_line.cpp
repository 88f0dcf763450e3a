#include "tools/host/simulated_line.h"

#include <exception>

#ifdef K426B_HOST_HAS_SIM
#include "tools/sim/serial_link.h"
#include "tools/sim/simulator.h"
#endif

std::unique_ptr<SimulatedLine> SimulatedLine::Start(const std::string& scenario_path,
                                                    std::string& error) {
#ifndef K426B_HOST_HAS_SIM
  (void)scenario_path;
  error = "this k426b-host was built without the simulator; use --port";
  return nullptr;
#else
  std::unique_ptr<SimulatedLine> line(new SimulatedLine());
  std::unique_ptr<k426b_sim::Simulator> simulator;
  try {
    k426b_sim::Scenario scenario = scenario_path.empty()
                                       ? k426b_sim::DefaultScenario()
                                       : k426b_sim::LoadScenarioFile(scenario_path);
    simulator = std::make_unique<k426b_sim::Simulator>(std::move(scenario));
  } catch (const std::exception& failure) {
    error = "scenario " + (scenario_path.empty() ? std::string("(default)") : scenario_path) +
            ": " + failure.what();
    return nullptr;
  }
  try {
    line->server_ = std::make_shared<k426b_sim::PtyServer>(std::move(simulator));
  } catch (const std::exception& failure) {
    error = std::string("cannot start the simulator: ") + failure.what();
    return nullptr;
  }
  line->path_ = line->server_->SlavePath();
  return line;
#endif
}

void SimulatedLine::Stop() {
#ifdef K426B_HOST_HAS_SIM
  if (server_) server_->Stop();
#endif
  server_.reset();
}
