#pragma once

// The example configuration (two AC units, one DC unit, the rectifier unit), as the site tests
// give it to a site.

#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <json/reader.h>

inline Json::Value ExampleConfig() {
  std::ifstream file(K426B_EXAMPLES_DIR "/k426b.json");
  Json::Value config;
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), file, &config, &errors)) << errors;
  return config;
}
