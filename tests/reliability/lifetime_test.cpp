// Device lifetimes through the built plug-in, as the host meets it (dlopen, get_providers):
// thousands of composite devices created, initialised, polled for a cycle and destroyed leave no
// leak (LeakSanitizer in the asan build) and no growth of resident memory after warm-up; and a
// work item still queued on the threshold worker keeps its device alive after the host let go.

#include <dlfcn.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/pmbus_protocol.h"
#include "host/provider.h"
#include "tests/reliability/driver_rig.h"

// ASan holds freed memory in quarantine and TSan keeps shadow state, so resident memory is
// judged only in a build without them; the asan build judges leaks instead (LeakSanitizer at
// exit). TSan, some 20 times slower, runs a tenth of the devices.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define K426B_UNDER_SANITIZER 1
#endif

namespace {

using k426b_reliability::CountingEvents;
using k426b_reliability::ExampleConfig;
using k426b_reliability::RunCycles;

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

// Loaded once and never unloaded: the devices' code lives in the library.
GetProviders LoadPlugin() {
  static void* const library = dlopen(K426B_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  return reinterpret_cast<GetProviders>(dlsym(library, "get_providers"));
}

std::shared_ptr<PMBusProtocol> CreateComposite(GetProviders get_providers) {
  const std::vector<std::shared_ptr<Provider>> providers = get_providers();
  auto* factory = dynamic_cast<ZVKSPDeviceProvider*>(providers.at(0).get());
  if (factory == nullptr) return nullptr;
  return std::shared_ptr<PMBusProtocol>(dynamic_cast<PMBusProtocol*>(factory->create()));
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

TEST(Lifetimes, TenThousandCompositeDevicesComeAndGoWithoutGrowth) {
  const GetProviders get_providers = LoadPlugin();
  ASSERT_NE(get_providers, nullptr) << dlerror();
  k426b_reliability::QuietStdout quiet;
  auto events = std::make_shared<CountingEvents>();
  auto controller = std::make_shared<ZVKController>(events);
  const Json::Value config = ExampleConfig();

#if defined(__SANITIZE_THREAD__)
  constexpr unsigned kDevices = 1000, kWarmUp = 100;
#else
  constexpr unsigned kDevices = 10000, kWarmUp = 1000;
#endif
  long after_warm_up = 0;
  for (unsigned n = 1; n <= kDevices; ++n) {
    std::shared_ptr<PMBusProtocol> device = CreateComposite(get_providers);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(device->Init(controller, 100, config));
    k426b_sim::Simulator simulator(k426b_sim::DefaultScenario());
    RunCycles(*device, simulator, *events, 1);
    ASSERT_EQ(events->cycles, n) << "device " << n << " completed no cycle";
    device.reset();
    controller->Drain();
    if (n == kWarmUp) after_warm_up = ResidentKiB();
  }
  const long at_end = ResidentKiB();
  std::printf("VmRSS after %u devices: %ld KiB, after %u: %ld KiB\n", kWarmUp, after_warm_up,
              kDevices, at_end);
  EXPECT_EQ(events->history, 4u * kDevices) << "every unit's cycle reached the history";
#if !defined(K426B_UNDER_SANITIZER)
  EXPECT_LT(at_end - after_warm_up, 2048) << "resident memory grew by more than 2 MiB";
#endif
}

TEST(Lifetimes, AQueuedWorkItemKeepsItsUnitAliveAfterTheHostDroppedTheDevice) {
  const GetProviders get_providers = LoadPlugin();
  ASSERT_NE(get_providers, nullptr) << dlerror();
  auto events = std::make_shared<CountingEvents>();
  auto controller = std::make_shared<ZVKController>(events);

  // Hold the threshold worker on an item of our own until released.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  controller->Submit([released] { released.wait(); });

  std::shared_ptr<PMBusProtocol> device = CreateComposite(get_providers);
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(device->Init(controller, 100, ExampleConfig()));
  k426b_sim::Simulator simulator(k426b_sim::DefaultScenario());
  RunCycles(*device, simulator, *events, 1);
  ASSERT_EQ(events->cycles, 1u);

  std::vector<std::weak_ptr<ZVKVDevice>> units;
  for (const auto& child : device->GetAllChildVDevices()) units.push_back(child);
  ASSERT_EQ(units.size(), 4u);
  std::weak_ptr<PMBusProtocol> composite = device;
  device.reset();  // the host's last reference
  EXPECT_TRUE(composite.expired());
  for (const auto& unit : units) EXPECT_FALSE(unit.expired()) << "its history item is queued";
  EXPECT_EQ(events->history, 0u);

  release.set_value();
  controller->Drain();
  EXPECT_EQ(events->history, 4u) << "each unit's queued item ran";
  for (const auto& unit : units) EXPECT_TRUE(unit.expired()) << "released once its item ran";
}

}  // namespace
