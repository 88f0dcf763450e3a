#pragma once

// Where a site's event lines go, and the members an event line can be written from without a
// Json::Value. The event stream is the sink the host runs with; a site writes its events to
// the sink and knows no more of where they go.

#include <string>
#include <string_view>

namespace Json {
class Value;
}

namespace k426b_host {

// The members of an event, written straight into the line without a Json::Value: for events
// made many times a cycle. Add them in the byte order of their names, the order a Json::Value
// object keeps, so the line is the one `EventSink::Write` makes from such an object.
class EventFields {
 public:
  EventFields();
  EventFields& Text(const char* name, std::string_view text);
  EventFields& Number(const char* name, long long number);
  EventFields& Flag(const char* name, bool flag);
  // Members written before, as `text()` gave them: for members that stay the same from one
  // event to the next.
  EventFields& Written(std::string_view members);
  // No members; the room the text had is kept, for fields made again and again.
  void Clear() { text_.clear(); }
  // `,"name":value` for each member, in the order added.
  const std::string& text() const { return text_; }

 private:
  void Name(const char* name);

  std::string text_;
};

// One JSON object per line, "event" and "time" first, then the members. Safe to call from any
// thread.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Whether anybody reads the events: when not, none need be built.
  virtual bool enabled() const = 0;
  // `members` is an object; its members follow "event" and "time".
  virtual void Write(const char* event, const Json::Value& members) = 0;
  virtual void Write(const char* event, const EventFields& members) = 0;
};

}  // namespace k426b_host
