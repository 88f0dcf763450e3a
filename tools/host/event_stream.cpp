#include "tools/host/event_stream.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <memory>
#include <sstream>

#include <fmt/format.h>
#include <json/writer.h>

EventStream::~EventStream() { Close(); }

std::string EventStream::Open(const std::string& path, std::FILE* standard_output) {
  std::lock_guard<std::mutex> lock(mutex_);
  owned_ = path != "-";
  if (!owned_) {
    file_ = standard_output;
    return {};
  }
  // Appended to: each run starts with its `start` event.
  file_ = std::fopen(path.c_str(), "a");
  if (file_ == nullptr) return "cannot write the event stream " + path;
  return {};
}

void EventStream::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr && owned_) std::fclose(file_);
  file_ = nullptr;
}

void EventStream::Write(const char* event, const Json::Value& members) {
  if (file_ == nullptr) return;
  Json::Value head(Json::objectValue);
  head["event"] = event;
  head["time"] = IsoLocalTimeNow();
  std::string line = CompactJson(head);  // {"event":..,"time":..}
  const std::string body = CompactJson(members);
  if (body.size() > 2) {
    line.pop_back();
    line += ',';
    line.append(body, 1, std::string::npos);
  }
  line += '\n';
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

std::string IsoLocalTimeNow() { return IsoLocalTime(std::chrono::system_clock::now()); }

std::string IsoLocalTime(std::chrono::system_clock::time_point now) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  char offset[8];
  std::strftime(offset, sizeof offset, "%z", &local);  // +hhmm
  const std::string zone(offset);
  return fmt::format("{}.{:03}{}:{}", date, millis, zone.substr(0, 3), zone.substr(3));
}

std::string CompactJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  builder["precision"] = 15;
  return Json::writeString(builder, value);
}

Json::Value FloatJson(float value) {
  if (!std::isfinite(value)) return Json::Value();
  return Json::Value(std::stod(fmt::format("{}", value)));
}
