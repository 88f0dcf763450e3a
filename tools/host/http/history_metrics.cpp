#include "tools/host/http/history_metrics.h"

#include <iterator>

#include <fmt/format.h>

namespace k426b_host {

namespace {

void Family(std::string& out, const char* name, const char* type, const char* help,
            long long value) {
  fmt::format_to(std::back_inserter(out), "# HELP {0} {1}\n# TYPE {0} {2}\n{0} {3}\n", name, help,
                 type, value);
}

}  // namespace

void AppendHistoryMetrics(std::string& out, const HistoryHealth& health) {
  Family(out, "k426b_history_up", "gauge",
         "Whether the history stores rows now (1), or they wait in memory (0).", health.up ? 1 : 0);
  Family(out, "k426b_history_pending_rows", "gauge", "History rows waiting in memory to be stored.",
         health.pending_rows);
  Family(out, "k426b_history_dropped_rows_total", "counter",
         "History rows dropped, the oldest first, from a full queue in memory.",
         health.dropped_rows);
  if (health.bytes)
    Family(out, "k426b_history_bytes", "gauge",
           "Size of the history on disk: the file and its write-ahead log.", *health.bytes);
}

void AppendMqttMetrics(std::string& out, const MqttHealth& health) {
  Family(out, "k426b_mqtt_connected", "gauge", "Whether the host is connected to its broker.",
         health.connected ? 1 : 0);
  Family(out, "k426b_mqtt_published_total", "counter", "Messages handed to the broker.",
         static_cast<long long>(health.published));
  Family(out, "k426b_mqtt_dropped_total", "counter",
         "Alarm messages dropped, the oldest first, from a full queue while the broker was away.",
         static_cast<long long>(health.dropped));
}

}  // namespace k426b_host
