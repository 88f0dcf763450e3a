#include "tools/common/json_text.h"

#include <cmath>
#include <memory>
#include <sstream>

#include <fmt/format.h>
#include <json/writer.h>

#include "tools/common/utf8.h"

std::string CompactJson(const Json::Value& value) {
  // Making a writer costs more than most of what it writes: one per thread, kept.
  thread_local const std::unique_ptr<Json::StreamWriter> writer = [] {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    builder["precision"] = 15;
    return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
  }();
  thread_local std::ostringstream out;
  out.str(std::string());
  out.clear();
  writer->write(value, &out);
  return WithValidUtf8(out.str());
}

std::string WithValidUtf8(std::string json) {
  if (IsValidUtf8(json)) return json;
  std::string valid;
  valid.reserve(json.size() + 16);
  AppendValidUtf8(valid, json, "\\\\");
  return valid;
}

Json::Value FloatJson(float value) {
  if (!std::isfinite(value)) return Json::Value();
  return Json::Value(std::stod(fmt::format("{}", value)));
}
