#include "bench/bench_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace bench {

using namespace k426b_sim;

Scenario TypicalScenario() {
  Scenario scenario = DefaultScenario();
  scenario.ac_units.resize(1);
  return scenario;
}

Scenario LargestScenario() {
  Scenario scenario = TypicalScenario();
  scenario.ac_units[0].screens.assign(255, AcScreen{});
  DcUnit& dc = scenario.dc_units[0];
  dc.m_values.assign(4, 12.5f);
  dc.n_values.assign(9, 1.5f);
  dc.user_values.assign(11, 0.5f);
  scenario.rectifier.modules.assign(255, RcModule{});
  return scenario;
}

std::vector<unsigned char> UnitBlock(QueryKind kind, const Scenario& scenario) {
  std::vector<unsigned char> info = BuildReply(kind, scenario, 0).info;
  const Group group = Describe(kind).group;
  if (group == Group::kAc || group == Group::kDc) info.erase(info.begin(), info.begin() + 2);
  return info;
}

StdoutToNull::StdoutToNull() {
  std::cout.flush();
  std::fflush(stdout);
  saved_ = dup(STDOUT_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  dup2(null_fd, STDOUT_FILENO);
  close(null_fd);
}

StdoutToNull::~StdoutToNull() {
  std::cout.flush();
  std::fflush(stdout);
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
}

}  // namespace bench
