#pragma once

// Loading and checking the composite device's configuration before anything is opened, so a
// bad file ends the bench host with a message that names every problem at once.

#include <map>
#include <string>
#include <vector>

#include <json/value.h>

namespace k426b_host {

// Reads and parses `path` (at most 1 MiB); empty result on success, else the reason.
std::string LoadConfigFile(const std::string& path, Json::Value& config);

// Checks the members the composite device, its codec and its units read, for the types they
// are read as; unknown members (with the nearest known name), missing and duplicate data ids.
// Empty result when usable, else every problem, one per line.
std::string CheckConfig(const Json::Value& config);

// Checks one composite device's configuration as part of a larger file (the sites file):
// appends every problem found to `problems`, each prefixed with `where` (e.g. "sites[2].device"),
// and registers every data id it declares in `data_ids` (data id -> where it was declared),
// reporting one declared twice, across the whole file.
void CheckDeviceConfig(const Json::Value& config, const std::string& where,
                       std::vector<std::string>& problems,
                       std::map<unsigned, std::string>& data_ids);

}  // namespace k426b_host
