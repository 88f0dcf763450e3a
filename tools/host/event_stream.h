#pragma once

// The bench host's event stream: one JSON object per line, "event" and "time" first, flushed
// per line so a reader sees each event as it happens. Safe to call from any thread.

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include <json/value.h>

// The members of an event, written straight into the line without a Json::Value: for events
// made many times a cycle. Add them in the byte order of their names, the order a Json::Value
// object keeps, so the line is the one `EventStream::Write` makes from such an object.
class EventFields {
 public:
  EventFields();
  EventFields& Text(const char* name, std::string_view text);
  EventFields& Number(const char* name, long long number);
  EventFields& Flag(const char* name, bool flag);
  // `,"name":value` for each member, in the order added.
  const std::string& text() const { return text_; }

 private:
  void Name(const char* name);

  std::string text_;
};

class EventStream {
 public:
  EventStream() = default;
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  // Appends to `path`, or writes to standard output for "-". Empty result on success, else the
  // reason.
  std::string Open(const std::string& path, std::FILE* standard_output = stdout);
  bool enabled() const { return file_ != nullptr; }
  // `members` is an object; its members follow "event" and "time".
  void Write(const char* event, const Json::Value& members);
  void Write(const char* event, const EventFields& members);
  void Close();

 private:
  // Writes and flushes one whole line, if the stream is open.
  void WriteLine(const std::string& line);

  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  bool owned_ = false;
};

// Local time now, ISO 8601 with milliseconds and the UTC offset: 2026-12-08T14:15:28.123+01:00.
std::string IsoLocalTimeNow();
std::string IsoLocalTime(std::chrono::system_clock::time_point time);

// One line of JSON, UTF-8 kept as it is. Each thread makes its writer once.
std::string CompactJson(const Json::Value& value);

// A float as a JSON number with its shortest round-trip digits (230.1, not 230.100006...);
// null for values JSON cannot carry (NaN, infinities).
Json::Value FloatJson(float value);
