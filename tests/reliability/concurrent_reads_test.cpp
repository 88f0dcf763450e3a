// The host's readers against the serial thread: four threads read every kind of value key, load
// valid and invalid cache images and list the children while the serial thread runs thousands
// of cycles against the in-process simulator, with values that change every cycle. Every value
// read must be one that some reply or image carried: a torn or mixed value is not in that set.

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/k426b.h"
#include "tests/reliability/driver_rig.h"

namespace {

using k426b_reliability::CountingEvents;
using k426b_reliability::ExampleConfig;
using k426b_reliability::RunCycles;

#if defined(__SANITIZE_THREAD__)
constexpr unsigned kCycles = 400;  // ThreadSanitizer runs the same test some 20 times slower
#else
constexpr unsigned kCycles = 2000;
#endif

// The values of cycle k; distinct for every cycle, so that a value made of two is not one of them.
float AcVoltage(unsigned k) { return 100.0f + 0.5f * static_cast<float>(k); }
float AcCurrent(unsigned k) { return 1.0f + 0.25f * static_cast<float>(k); }
float DcVoltage(unsigned k) { return 40.0f + 0.125f * static_cast<float>(k); }

// The equipment as cycle k finds it. (A fresh simulator a cycle: a script of thousands of
// changes would copy itself thousands of times.)
k426b_sim::Scenario CycleScenario(unsigned k) {
  k426b_sim::Scenario scenario = k426b_sim::DefaultScenario();
  scenario.ac_units[0].screens[0].a = AcVoltage(k);
  scenario.ac_units[0].ia = AcCurrent(k);
  scenario.dc_units[0].v = DcVoltage(k);
  return scenario;
}

// Cache images of every unit, taken from a device that ran one cycle of a scenario with values
// no cycle of the changing scenario carries.
std::map<unsigned, Bytes> ImagesWithOwnValues() {
  k426b_sim::Scenario scenario = k426b_sim::DefaultScenario();
  scenario.ac_units[0].screens[0].a = 9000.0f;
  scenario.ac_units[0].ia = 9001.0f;
  scenario.dc_units[0].v = 9002.0f;
  k426b_sim::Simulator simulator(scenario);
  auto events = std::make_shared<CountingEvents>();
  auto controller = std::make_shared<ZVKController>(events);
  auto device = std::make_shared<K426B>();
  device->Init(controller, 100, ExampleConfig());
  RunCycles(*device, simulator, *events, 1);
  controller->Drain();
  return events->snapshots();
}

struct Read {
  unsigned data_id;
  std::string key;
  std::set<float> allowed;  // empty: the key is never served
};

std::vector<Read> EveryKeyKind() {
  std::set<float> ac_voltage = {220.0f, 9000.0f}, ac_current = {10.0f, 9001.0f},
                  dc_voltage = {53.5f, 9002.0f};
  for (unsigned k = 1; k <= kCycles; ++k) {
    ac_voltage.insert(AcVoltage(k));
    ac_current.insert(AcCurrent(k));
    dc_voltage.insert(DcVoltage(k));
  }
  return {
      {101, "channel_0_a", ac_voltage}, {101, "ia", ac_current},
      {101, "channel_0_f", {50.0f}},    {101, "ia_alert", {0.0f}},
      {101, "channel_7_a", {}},         {101, "no_such_key", {}},
      {102, "channel_0_b", {230.0f}},   {102, "ic", {5.0f}},
      {201, "v", dc_voltage},           {201, "i", {25.0f}},
      {201, "w", {}},                   {100, "v", {}},
  };
}

TEST(ConcurrentReads, EveryValueReadWasCarriedByAReplyOrAnImageWhileCyclesRun) {
  // The units' diagnostic lines, thousands of cycles of them, would cost more than the cycles.
  k426b_reliability::QuietStdout quiet;
  const std::map<unsigned, Bytes> images = ImagesWithOwnValues();
  ASSERT_EQ(images.size(), 4u) << "two AC units, one DC unit and the rectifier published";
  const std::vector<Read> reads = EveryKeyKind();

  auto events = std::make_shared<CountingEvents>();
  auto controller = std::make_shared<ZVKController>(events);
  auto device = std::make_shared<K426B>();
  ASSERT_TRUE(device->Init(controller, 100, ExampleConfig()));

  std::atomic<bool> running{true};
  std::atomic<unsigned> values_read{0}, foreign_values{0}, failed_loads{0}, bad_listings{0};
  std::atomic<unsigned> unexpected_exceptions{0};
  auto reader = [&](unsigned seed) {
    unsigned turn = seed;
    while (running) {
      const std::vector<std::shared_ptr<ZVKVDevice>> children = device->GetAllChildVDevices();
      if (children.size() != 4u) ++bad_listings;
      for (const Read& read : reads) {
        const std::shared_ptr<ZVKVDevice> unit =
            read.data_id == 100 ? children.back() : device->GetChildVDevice(read.data_id);
        try {
          const float value = unit->Get_Value(read.data_id, read.key);
          ++values_read;
          if (read.allowed.count(value) == 0) ++foreign_values;
        } catch (const std::out_of_range&) {
        } catch (...) {
          ++unexpected_exceptions;
        }
      }
      std::this_thread::yield();  // the serial thread is the one that must get on
      // Now and then a cache image: a valid one, one a byte too short, one of three bytes.
      if (++turn % 8 != 0) continue;
      for (const std::shared_ptr<ZVKVDevice>& unit : children) {
        const Bytes& image = images.at(unit->DataId());
        const Bytes short_image(image.begin(), image.end() - 1);
        const Bytes scrap = {1, 2, 3};
        if (!unit->LoadFromCache(image.data(), static_cast<int>(image.size()))) ++failed_loads;
        if (unit->LoadFromCache(short_image.data(), static_cast<int>(short_image.size())) ||
            unit->LoadFromCache(scrap.data(), static_cast<int>(scrap.size())))
          ++failed_loads;
      }
    }
  };
  std::vector<std::thread> readers;
  for (unsigned seed = 0; seed < 4; ++seed) readers.emplace_back(reader, seed);

  for (unsigned k = 1; k <= kCycles; ++k) {
    k426b_sim::Simulator simulator(CycleScenario(k));
    RunCycles(*device, simulator, *events, 1);
  }
  running = false;
  for (std::thread& thread : readers) thread.join();
  controller->Drain();

  EXPECT_EQ(events->cycles, kCycles);
  EXPECT_EQ(events->frame_errors, 0u);
  EXPECT_GT(values_read, 0u);
  EXPECT_EQ(foreign_values, 0u) << "a value no reply or image carried";
  EXPECT_EQ(failed_loads, 0u) << "a valid image refused or an invalid one taken";
  EXPECT_EQ(bad_listings, 0u);
  EXPECT_EQ(unexpected_exceptions, 0u) << "Get_Value may only refuse with std::out_of_range";
}

}  // namespace
