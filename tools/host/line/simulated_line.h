#pragma once

// The built-in simulator for --simulate: the equipment simulator served in-process on a
// pseudo-terminal. The host opens the near end by its path, exactly as it opens a serial port.

#include <memory>
#include <string>

namespace k426b_sim {
class PtyServer;
}

namespace k426b_host {

class SimulatedLine {
 public:
  // `scenario_path` empty: the simulator's defaults. Null with `error` set on failure (a bad
  // scenario is named in it).
  static std::unique_ptr<SimulatedLine> Start(const std::string& scenario_path, std::string& error);
  // Reads the scenario as Start would, opening nothing: empty when it is good, else the same
  // problem Start would name.
  static std::string CheckScenario(const std::string& scenario_path);
  // Path of the near end, for SerialPort.
  const std::string& path() const { return path_; }
  void Stop();

 private:
  SimulatedLine() = default;

  std::string path_;
  std::shared_ptr<k426b_sim::PtyServer> server_;
};

}  // namespace k426b_host
