#pragma once

// Loading and checking the composite device's configuration before anything is opened, so a
// bad file ends the bench host with a message that names the problem.

#include <string>

#include <json/value.h>

// Reads and parses `path`; empty result on success, else the reason.
std::string LoadConfigFile(const std::string& path, Json::Value& config);

// Checks the members the composite device, its codec and its units read, for the types they
// are read as. Empty result when usable, else the first problem, naming the member.
std::string CheckConfig(const Json::Value& config);
