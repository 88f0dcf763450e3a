// The service's pieces that do not need systemd itself: the notify messages, the default
// locations under systemd and for a user, and the configuration the package installs.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include "tools/host/config/config_check.h"
#include "tools/host/system/install_paths.h"
#include "tools/host/system/service_notify.h"

namespace k426b_host {

namespace {

namespace fs = std::filesystem;
using ::testing::StartsWith;

// Sets (or, with nullopt, unsets) one environment variable for a test's lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) ::setenv(name, value->c_str(), 1); else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1); else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The manager's end of the notify protocol: a datagram socket in a fresh folder.
class NotifySocket {
 public:
  NotifySocket() {
    char pattern[] = "/tmp/k426b-notify-XXXXXX";
    folder_ = ::mkdtemp(pattern);
    path_ = folder_ + "/notify";
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof(address.sun_path) - 1);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~NotifySocket() {
    ::close(fd_);
    fs::remove_all(folder_);
  }
  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }

  // The next message, or nothing within `timeout_ms`.
  std::optional<std::string> Receive(int timeout_ms = 5000) {
    pollfd waiting{fd_, POLLIN, 0};
    if (::poll(&waiting, 1, timeout_ms) != 1) return std::nullopt;
    char buffer[4096];
    const ssize_t length = ::recv(fd_, buffer, sizeof(buffer), 0);
    if (length < 0) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(length));
  }

 private:
  std::string folder_;
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST(ServiceNotifyTest, TellsTheManagerReadyWatchdogReloadAndStop) {
  NotifySocket manager;
  ASSERT_TRUE(manager.bound());
  ScopedEnv socket("NOTIFY_SOCKET", manager.path());
  ScopedEnv watchdog("WATCHDOG_USEC", "20000000");
  ScopedEnv watchdog_pid("WATCHDOG_PID", std::nullopt);

  ServiceNotify notify;
  EXPECT_TRUE(notify.active());
  EXPECT_EQ(notify.watchdog_interval().count(), 20000000);

  notify.Ready("3 sites, listening on 127.0.0.1:9426");
  // The caller sleeps until the next ping is due: half the interval after the last one.
  EXPECT_EQ(notify.Watchdog().count(), 10000000);
  const auto due = notify.Watchdog();  // within half the interval of the first: not sent
  EXPECT_GT(due.count(), 0);
  EXPECT_LE(due.count(), 10000000);
  notify.Reloading();
  notify.Ready();
  notify.Stopping();

  EXPECT_EQ(manager.Receive(), "READY=1\nSTATUS=3 sites, listening on 127.0.0.1:9426");
  EXPECT_EQ(manager.Receive(), "WATCHDOG=1");
  const auto reloading = manager.Receive();
  ASSERT_TRUE(reloading);
  EXPECT_THAT(*reloading, StartsWith("RELOADING=1\nMONOTONIC_USEC="));
  EXPECT_EQ(manager.Receive(), "READY=1");
  EXPECT_EQ(manager.Receive(), "STOPPING=1");
  EXPECT_EQ(manager.Receive(0), std::nullopt);
}

TEST(ServiceNotifyTest, WatchdogPingsAgainOnceHalfTheIntervalHasPassed) {
  NotifySocket manager;
  ASSERT_TRUE(manager.bound());
  ScopedEnv socket("NOTIFY_SOCKET", manager.path());
  ScopedEnv watchdog("WATCHDOG_USEC", "2000");  // 2 ms: the next ping is due after 1 ms
  ScopedEnv watchdog_pid("WATCHDOG_PID", std::nullopt);

  ServiceNotify notify;
  notify.Watchdog();
  EXPECT_EQ(manager.Receive(), "WATCHDOG=1");
  // Keep calling as a loop does until the second ping arrives; bounded by Receive's deadline.
  std::optional<std::string> second;
  for (int turn = 0; turn < 5000 && !second; ++turn) {
    notify.Watchdog();
    second = manager.Receive(1);
  }
  EXPECT_EQ(second, "WATCHDOG=1");
}

TEST(ServiceNotifyTest, OutsideSystemdEveryCallDoesNothing) {
  ScopedEnv socket("NOTIFY_SOCKET", std::nullopt);
  ScopedEnv watchdog("WATCHDOG_USEC", "2000000");

  ServiceNotify notify;
  EXPECT_FALSE(notify.active());
  EXPECT_EQ(notify.watchdog_interval().count(), 0);
  notify.Ready("ready");
  EXPECT_EQ(notify.Watchdog().count(), 0);  // no watchdog: nothing to wake for
  notify.Reloading();
  notify.Stopping();
}

TEST(InstallPathsTest, StateAndConfigurationFollowSystemdThenTheUser) {
  ScopedEnv home("HOME", "/home/op");
  {
    ScopedEnv state("STATE_DIRECTORY", "/var/lib/k426b:/var/lib/other");
    ScopedEnv configuration("CONFIGURATION_DIRECTORY", "/etc/k426b");
    EXPECT_EQ(DefaultStateDir(), "/var/lib/k426b");
    EXPECT_EQ(DefaultSitesPath(), "/etc/k426b/sites.json");
  }
  ScopedEnv state("STATE_DIRECTORY", std::nullopt);
  {
    ScopedEnv xdg("XDG_STATE_HOME", "/home/op/state");
    EXPECT_EQ(DefaultStateDir(), "/home/op/state/k426b");
  }
  {
    // A relative XDG_STATE_HOME is invalid and ignored, as the base directory rules say.
    ScopedEnv xdg("XDG_STATE_HOME", "state");
    EXPECT_EQ(DefaultStateDir(), "/home/op/.local/state/k426b");
  }
}

TEST(InstallPathsTest, BuildTreeIsNoInstalledTree) {
  EXPECT_TRUE(InstalledPrefix().empty());
  EXPECT_TRUE(fs::exists(DefaultPluginPath())) << DefaultPluginPath();
}

// The sites file the package installs must be one the host accepts as it stands.
TEST(SitesTemplateTest, EverySiteIsCompleteAndItsDeviceConfigurationValid) {
  std::ifstream file(K426B_SITES_TEMPLATE);
  ASSERT_TRUE(file) << K426B_SITES_TEMPLATE;
  Json::Value sites;
  std::string errors;
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), file, &sites, &errors)) << errors;
  ASSERT_TRUE(sites["sites"].isArray());
  ASSERT_FALSE(sites["sites"].empty());
  std::vector<std::string> problems;
  std::map<unsigned, std::string> data_ids;
  for (Json::ArrayIndex index = 0; index < sites["sites"].size(); ++index) {
    const Json::Value& site = sites["sites"][index];
    EXPECT_TRUE(site["name"].isString());
    EXPECT_THAT(site["port"].asString(), StartsWith("/dev/"));
    CheckDeviceConfig(site["device"], "sites[" + std::to_string(index) + "].device", problems, data_ids);
  }
  EXPECT_THAT(problems, ::testing::IsEmpty());
}

}  // namespace

}  // namespace k426b_host
