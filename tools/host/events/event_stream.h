#pragma once

// The bench host's event stream: one JSON object per line, "event" and "time" first. A line is
// written as it is made, so a reader sees each event as it happens, except inside a `Burst`:
// there the lines of one thread are gathered and leave in one write when the burst ends. Safe to
// call from any thread; the lines stay in the order they were made across threads.

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include <json/value.h>

#include "tools/common/iso_time.h"
#include "tools/common/json_text.h"
#include "tools/host/events/event_sink.h"

namespace k426b_host {

class EventStream : public EventSink {
 public:
  EventStream() = default;
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  // Appends to `path`, or writes to standard output for "-". Empty result on success, else the
  // reason.
  std::string Open(const std::string& path, std::FILE* standard_output = stdout);
  bool enabled() const override { return file_ != nullptr; }
  void Write(const char* event, const Json::Value& members) override;
  void Write(const char* event, const EventFields& members) override;
  // Writes out what a burst still holds, then closes the file.
  void Close();

  // While it lives, the lines the calling thread writes to `stream` are gathered and written
  // with one write when it ends (or at `Flush`, before the thread waits). A line from another
  // thread, or from this one outside the burst, first writes out the gathered lines, so the
  // order is kept; more than `kBurstLimit` bytes are written out at once.
  class Burst {
   public:
    explicit Burst(EventStream& stream);
    ~Burst();
    Burst(const Burst&) = delete;
    Burst& operator=(const Burst&) = delete;
    // Writes out what is gathered so far; the burst goes on.
    void Flush();

   private:
    EventStream& stream_;
    const EventStream* outer_;  // the stream of the burst this thread had open before, if any
  };
  static constexpr std::size_t kBurstLimit = 64 * 1024;

 private:
  // Writes one whole line, or gathers it into the calling thread's burst.
  void WriteLine(const std::string& line);
  // Writes out the gathered lines if they are the calling thread's. Called locked.
  void WriteOutOwnBurst();
  void WriteOutBurst();
  // One write of the bytes (repeated only for what a write leaves over). Called locked.
  void WriteOut(const char* data, std::size_t size);

  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  // Lines gathered in a burst, all of them made by `burst_thread_`.
  std::string burst_;
  std::thread::id burst_thread_;
};

}  // namespace k426b_host
