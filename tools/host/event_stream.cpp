#include "tools/host/event_stream.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <charconv>
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

namespace {

// `{"event":"…","time":"…"`: what every line starts with, with room for `more` bytes behind it.
// Event names are plain words.
std::string LineHead(const char* event, std::size_t more) {
  std::string line;
  line.reserve(64 + more);
  line += "{\"event\":\"";
  line += event;
  line += "\",\"time\":\"";
  line += IsoLocalTimeNow();
  line += '"';
  return line;
}

// A JSON string as the compact writer makes it. Text without quotes, backslashes and control
// characters is written as it stands (UTF-8 is kept); anything else is left to the writer.
void AppendQuoted(std::string& out, std::string_view text) {
  for (const char c : text) {
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) {
      out += CompactJson(Json::Value(std::string(text)));
      return;
    }
  }
  out += '"';
  out += text;
  out += '"';
}

}  // namespace

EventFields::EventFields() { text_.reserve(256); }

void EventFields::Name(const char* name) {
  text_ += ",\"";
  text_ += name;
  text_ += "\":";
}

EventFields& EventFields::Text(const char* name, std::string_view text) {
  Name(name);
  AppendQuoted(text_, text);
  return *this;
}

EventFields& EventFields::Number(const char* name, long long number) {
  Name(name);
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  text_.append(digits, end);
  return *this;
}

EventFields& EventFields::Flag(const char* name, bool flag) {
  Name(name);
  text_ += flag ? "true" : "false";
  return *this;
}

void EventStream::Write(const char* event, const Json::Value& members) {
  if (file_ == nullptr) return;
  const std::string body = CompactJson(members);  // {..}
  std::string line = LineHead(event, body.size());
  if (body.size() > 2) {
    line += ',';
    line.append(body, 1, std::string::npos);
  } else {
    line += '}';
  }
  line += '\n';
  WriteLine(line);
}

void EventStream::Write(const char* event, const EventFields& members) {
  if (file_ == nullptr) return;
  std::string line = LineHead(event, members.text().size());
  line += members.text();
  line += "}\n";
  WriteLine(line);
}

void EventStream::WriteLine(const std::string& line) {
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
  // Every event and frame is dated: the local date, time and offset of a second are made once
  // per thread, and only the milliseconds for each.
  thread_local std::time_t converted_second = -1;
  thread_local std::string date;  // 2026-12-08T14:15:28
  thread_local std::string zone;  // +01:00
  if (seconds != converted_second) {
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    date = text;
    std::strftime(text, sizeof text, "%z", &local);  // +hhmm
    zone = text;
    zone.insert(3, 1, ':');
    converted_second = seconds;
  }
  std::string time;
  time.reserve(date.size() + 4 + zone.size());
  time += date;
  time += '.';
  time += static_cast<char>('0' + millis / 100);
  time += static_cast<char>('0' + millis / 10 % 10);
  time += static_cast<char>('0' + millis % 10);
  time += zone;
  return time;
}

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
  return out.str();
}

Json::Value FloatJson(float value) {
  if (!std::isfinite(value)) return Json::Value();
  return Json::Value(std::stod(fmt::format("{}", value)));
}
