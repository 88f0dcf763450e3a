#include "tools/host/config/sites_file.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "tools/common/baud.h"
#include "tools/common/duration.h"
#include "tools/common/net_address.h"
#include "tools/common/strict_json.h"
#include "tools/host/config/config_check.h"

namespace k426b_host {

namespace {

const std::vector<std::string> kTopMembers = {"sites", "history_keep", "mqtt"};
const std::vector<std::string> kSiteMembers = {"name", "port", "baud", "device"};

bool IsSiteName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
  });
}

std::string Joined(const std::string& directory, const std::string& path) {
  if (path.empty() || path[0] == '/' || directory.empty()) return path;
  return directory + "/" + path;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

SitesFile CheckSitesDocument(const Json::Value& document, const std::string& directory) {
  SitesFile result;
  auto& problems = result.problems;
  StrictChecker check(problems);
  if (!document.isObject()) {
    problems.push_back("the sites file must be a JSON object {\"sites\": [...]}");
    return result;
  }
  check.KnownMembers(document, "the sites file", kTopMembers);
  if (document.isMember("history_keep")) {
    const Json::Value& keep = document["history_keep"];
    const auto parsed = keep.isString() ? ParseDuration(keep.asString()) : std::nullopt;
    if (parsed)
      result.history_keep = *parsed;
    else
      problems.push_back("history_keep must be a duration: \"7d\", \"12h\", \"0\" keeps every row");
  }
  if (document.isMember("mqtt")) {
    if (document["mqtt"].isString())
      result.mqtt_url = document["mqtt"].asString();
    else
      problems.push_back("mqtt must be a text: \"mqtt://HOST:PORT\" or \"mqtts://HOST:PORT\"");
  }
  const Json::Value& sites = document["sites"];
  if (!sites.isArray() || sites.empty()) {
    problems.push_back("sites must be a non-empty list of sites");
    return result;
  }

  std::map<std::string, std::string> names;  // name -> where
  // The sites on each port, to tell a shared line from a port used twice.
  struct OnPort {
    std::string where;
    int address;
    std::optional<int> baud;  // as given
  };
  std::map<std::string, std::vector<OnPort>> ports;
  std::map<unsigned, std::string> data_ids;
  for (Json::ArrayIndex index = 0; index < sites.size(); ++index) {
    const std::string where = "sites[" + std::to_string(index) + "]";
    const Json::Value& entry = sites[index];
    if (!entry.isObject()) {
      problems.push_back(where + ": a site must be an object with name, port and device");
      continue;
    }
    check.KnownMembers(entry, where, kSiteMembers);
    SiteConfig site;

    const Json::Value& name = entry["name"];
    if (!name.isString() || !IsSiteName(name.asString())) {
      problems.push_back(where + ".name must be 1 to 64 letters, digits, '-' and '_'");
    } else {
      site.name = name.asString();
      const auto [found, inserted] = names.emplace(site.name, where);
      if (!inserted)
        problems.push_back(where + ".name \"" + site.name + "\" is already used at " +
                           found->second);
    }

    const Json::Value& port = entry["port"];
    if (!port.isString() || port.asString().empty()) {
      problems.push_back(where + ".port must be a device path or tcp://HOST:PORT");
    } else {
      site.port = port.asString();
      NetAddress address;
      if (IsTcpAddress(site.port)) {
        if (auto problem = ParseTcpAddress(site.port, address); !problem.empty())
          problems.push_back(where + ".port: " + problem);
      } else if (site.port[0] != '/') {
        problems.push_back(where + ".port \"" + site.port +
                           "\" is neither an absolute device path nor tcp://HOST:PORT");
      }
    }

    if (entry.isMember("baud")) {
      const Json::Value& baud = entry["baud"];
      if (!baud.isInt() || !IsSupportedBaud(baud.asInt()))
        problems.push_back(where + ".baud must be one of " + SupportedBaudsText());
      else
        site.baud = baud.asInt();
    }

    const Json::Value& device = entry["device"];
    const std::string device_where = where + ".device";
    if (device.isString()) {
      site.device_file = Joined(directory, device.asString());
      if (auto problem = LoadConfigFile(site.device_file, site.device); !problem.empty())
        problems.push_back(device_where + ": " + problem);
      else
        CheckDeviceConfig(site.device, device_where + " (" + device.asString() + ")", problems,
                          data_ids);
    } else if (device.isObject()) {
      site.device = device;
      CheckDeviceConfig(site.device, device_where, problems, data_ids);
    } else {
      problems.push_back(device_where +
                         " must be the device configuration (an object) or the path of its file");
    }
    const Json::Value& address = site.device["address"];
    if (address.isInt()) site.address = address.asInt();
    if (!site.port.empty()) {
      std::optional<int> baud;
      if (entry.isMember("baud")) baud = site.baud;
      for (const OnPort& other : ports[site.port]) {
        if (other.address == site.address)
          problems.push_back(where + ".port \"" + site.port + "\" is already used at " +
                             other.where + " with the same address " +
                             std::to_string(site.address));
        else if (baud && other.baud && *baud != *other.baud)
          problems.push_back(where + ".baud " + std::to_string(*baud) + " differs from " +
                             std::to_string(*other.baud) + " at " + other.where +
                             ", which shares the port \"" + site.port + "\"");
      }
      ports[site.port].push_back({where, site.address, baud});
    }
    result.sites.push_back(std::move(site));
  }
  for (SiteConfig& site : result.sites) {
    site.shared = ports[site.port].size() > 1;
    // A shared line runs at the speed any of its sites gives.
    for (const SiteConfig& other : result.sites)
      if (site.shared && other.port == site.port && other.baud != 9600) site.baud = other.baud;
  }
  if (!problems.empty()) result.sites.clear();
  return result;
}

SitesFile LoadSitesFile(const std::string& path) {
  Json::Value document;
  if (auto problem = LoadConfigFile(path, document); !problem.empty()) {
    SitesFile result;
    result.problems.push_back(problem);
    return result;
  }
  return CheckSitesDocument(document, DirectoryOf(path));
}

}  // namespace k426b_host
