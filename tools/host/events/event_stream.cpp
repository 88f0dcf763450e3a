#include "tools/host/events/event_stream.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>

#include <unistd.h>

#include <fmt/format.h>
#include <json/writer.h>

#include "tools/common/utf8.h"

namespace k426b_host {

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
  WriteOutBurst();
  if (file_ != nullptr && owned_) std::fclose(file_);
  file_ = nullptr;
}

namespace {

// The stream whose burst the calling thread has open: its lines go to that burst.
thread_local const EventStream* t_burst = nullptr;

// `{"event":"…","time":"…"`: what every line starts with, in `line`, with room for `more` bytes
// behind it. Event names are plain words.
void LineHead(std::string& line, const char* event, std::size_t more) {
  line.clear();
  line.reserve(64 + more);
  line += "{\"event\":\"";
  line += event;
  line += "\",\"time\":\"";
  AppendIsoLocalTime(line, std::chrono::system_clock::now());
  line += '"';
}

// A JSON string as the compact writer makes it. Valid UTF-8 without quotes, backslashes and
// control characters is written as it stands; anything else is left to the writer.
void AppendQuoted(std::string& out, std::string_view text) {
  bool as_it_stands = IsValidUtf8(text);
  for (std::size_t index = 0; as_it_stands && index < text.size(); ++index) {
    const char c = text[index];
    as_it_stands = c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20;
  }
  if (!as_it_stands) {
    out += CompactJson(Json::Value(std::string(text)));
    return;
  }
  out += '"';
  out += text;
  out += '"';
}

}  // namespace

EventFields::EventFields() { text_.reserve(256); }

void EventFields::Name(const char* name) {
  // `,"name":` in one append: members are made many times a cycle.
  const std::size_t length = std::strlen(name);
  char head[64];
  if (length + 4 > sizeof head) {
    ((text_ += ",\"") += name) += "\":";
    return;
  }
  head[0] = ',';
  head[1] = '"';
  std::memcpy(head + 2, name, length);
  head[length + 2] = '"';
  head[length + 3] = ':';
  text_.append(head, length + 4);
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
  if (flag)
    text_.append("true", 4);
  else
    text_.append("false", 5);
  return *this;
}

EventFields& EventFields::Written(std::string_view members) {
  text_ += members;
  return *this;
}

void EventStream::Write(const char* event, const Json::Value& members) {
  if (file_ == nullptr) return;
  const std::string body = CompactJson(members);  // {..}
  std::string line;
  LineHead(line, event, body.size());
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
  // Made many times a cycle: each thread makes its lines in one string that keeps its room.
  thread_local std::string line;
  LineHead(line, event, members.text().size() + 2);
  line += members.text();
  line += "}\n";
  WriteLine(line);
}

void EventStream::WriteLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr) return;
  const std::thread::id self = std::this_thread::get_id();
  // Whatever another thread gathered was made before this line: it goes first.
  if (t_burst != this || burst_thread_ != self) WriteOutBurst();
  if (t_burst != this) {
    WriteOut(line.data(), line.size());
    return;
  }
  burst_thread_ = self;
  burst_ += line;
  if (burst_.size() > kBurstLimit) WriteOutBurst();
}

void EventStream::WriteOutOwnBurst() {
  if (burst_thread_ == std::this_thread::get_id()) WriteOutBurst();
}

void EventStream::WriteOutBurst() {
  if (burst_.empty()) return;
  if (file_ != nullptr) WriteOut(burst_.data(), burst_.size());
  burst_.clear();  // keeps its capacity for the next burst
}

void EventStream::WriteOut(const char* data, std::size_t size) {
  // Written past the FILE's buffer, which would cut a long burst into pieces; anything another
  // writer left in that buffer goes first.
  std::fflush(file_);
  const int descriptor = fileno(file_);
  while (size > 0) {
    const ssize_t written = ::write(descriptor, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // a failing stream loses the lines, as a full disk would
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

EventStream::Burst::Burst(EventStream& stream) : stream_(stream), outer_(t_burst) {
  t_burst = &stream;
}

EventStream::Burst::~Burst() {
  t_burst = outer_;
  if (outer_ != &stream_) Flush();  // an inner burst of the same stream leaves it to the outer
}

void EventStream::Burst::Flush() {
  std::lock_guard<std::mutex> lock(stream_.mutex_);
  stream_.WriteOutOwnBurst();
}

}  // namespace k426b_host
