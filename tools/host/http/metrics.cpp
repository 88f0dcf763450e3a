#include "tools/host/http/metrics.h"

#include <cmath>
#include <functional>
#include <initializer_list>
#include <utility>

#include <fmt/format.h>

#include "tools/common/utf8.h"
#include "tools/common/version.h"
#include "tools/host/http/history_metrics.h"
#include "tools/host/status/rectifier_view.h"

namespace k426b_host {

namespace {

using Labels = std::vector<std::pair<const char*, std::string>>;

std::string Number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  return fmt::format("{}", value);
}

// A float as the equipment sent it, in its shortest decimal form (53.5, not 53.5000000).
std::string Number(float value) {
  if (std::isnan(value) || std::isinf(value)) return Number(static_cast<double>(value));
  return fmt::format("{}", value);
}

std::string Number(unsigned long long value) { return std::to_string(value); }

// One metric family: its HELP and TYPE lines, then its samples; a family without samples is
// left out whole.
class Family {
 public:
  Family(std::string& out, const char* name, const char* type, const char* help)
      : out_(out), name_(name), type_(type), help_(help) {}
  template <typename T>
  void Sample(const Labels& labels, T value) {
    if (!started_) out_ += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name_, help_, name_, type_);
    started_ = true;
    out_ += name_;
    if (!labels.empty()) {
      out_ += '{';
      bool first = true;
      for (const auto& [label, text] : labels) {
        if (!first) out_ += ',';
        first = false;
        out_ += label;
        out_ += "=\"";
        out_ += EscapeLabelValue(text);
        out_ += '"';
      }
      out_ += '}';
    }
    out_ += ' ';
    out_ += Number(value);
    out_ += '\n';
  }

 private:
  std::string& out_;
  const char* name_;
  const char* type_;
  const char* help_;
  bool started_ = false;
};

std::string Id(unsigned data_id) { return std::to_string(data_id); }

using Sites = std::vector<SiteStatus>;

void BuildInfo(std::string& out, const std::string& version) {
  Family family(out, "k426b_build_info", "gauge", "Version of the running k426b host.");
  family.Sample({{"version", version}}, 1ull);
}

void SiteInfo(std::string& out, const Sites& sites) {
  Family family(out, "k426b_site_info", "gauge",
                "Each power system: its line and the model it reported.");
  for (const auto& site : sites)
    family.Sample({{"site", site.name}, {"port", site.port}, {"model", site.model}}, 1ull);
}

void LineUp(std::string& out, const Sites& sites) {
  Family family(out, "k426b_line_up", "gauge",
                "1 while the power system answers on its line, 0 while silent or lost.");
  for (const auto& site : sites)
    family.Sample({{"site", site.name}}, site.line.state == LineCondition::kUp ? 1ull : 0ull);
}

// A site whose line answers but whose poll cycle cannot complete is not monitored, though its
// line is up: the sample names the problem and its fix, and goes when the problem does.
void SiteProblem(std::string& out, const Sites& sites) {
  Family family(out, "k426b_site_problem", "gauge",
                "1 while the line answers but no poll cycle can complete: the site is not "
                "monitored, for the reason given.");
  for (const auto& site : sites)
    if (!site.line.problem.empty())
      family.Sample({{"site", site.name}, {"problem", site.line.problem}}, 1ull);
}

// The site's counters, one family each, every site a sample.
void SiteCounterTotals(std::string& out, const Sites& sites) {
  struct Counter {
    const char* name;
    const char* help;
    std::function<unsigned long long(const SiteCounters&)> value;
  };
  const Counter counters[] = {
      {"k426b_cycles_total", "Completed poll cycles.",
       [](const SiteCounters& c) { return c.cycles; }},
      {"k426b_queries_total", "Queries sent.", [](const SiteCounters& c) { return c.queries; }},
      {"k426b_log_messages_total", "Messages the plug-in logged.",
       [](const SiteCounters& c) { return c.log_messages; }},
  };
  for (const auto& counter : counters) {
    Family family(out, counter.name, "counter", counter.help);
    for (const auto& site : sites)
      family.Sample({{"site", site.name}}, counter.value(site.counters));
  }
}

void CycleDuration(std::string& out, const Sites& sites) {
  Family family(out, "k426b_cycle_duration_seconds", "gauge",
                "Duration of the last completed poll cycle.");
  for (const auto& site : sites)
    if (site.counters.cycles > 0)
      family.Sample({{"site", site.name}}, site.counters.last_cycle_seconds);
}

void FrameErrors(std::string& out, const Sites& sites) {
  Family family(out, "k426b_frame_errors_total", "counter",
                "Received frames the codec dropped, by reason.");
  for (const auto& site : sites)
    for (const auto& [reason, count] : site.counters.frame_errors)
      family.Sample({{"site", site.name}, {"reason", reason}}, count);
}

void ReplyErrors(std::string& out, const Sites& sites) {
  Family family(out, "k426b_reply_errors_total", "counter",
                "Replies with an error return code, by return code.");
  for (const auto& site : sites)
    for (const auto& [rtn, count] : site.counters.reply_errors)
      family.Sample({{"site", site.name}, {"rtn", std::to_string(rtn)}}, count);
}

void UnitValues(std::string& out, const Sites& sites) {
  Family family(out, "k426b_value", "gauge",
                "Each value a unit serves by key; left out while the plug-in refuses it.");
  for (const auto& site : sites)
    for (const auto& unit : site.units)
      for (const auto& value : unit.values)
        if (value.value)
          family.Sample({{"site", site.name},
                         {"data_id", Id(unit.data_id)},
                         {"unit", unit.device_type},
                         {"key", value.key}},
                        *value.value);
}

void DataAge(std::string& out, const Sites& sites) {
  Family family(out, "k426b_data_age_seconds", "gauge",
                "Age of each unit's data (from a poll cycle or a cache image).");
  for (const auto& site : sites)
    for (const auto& unit : site.units)
      if (unit.age_s)
        family.Sample({{"site", site.name}, {"data_id", Id(unit.data_id)}}, *unit.age_s);
}

// A rectifier group whose values are current, decoded once for the three families that show it.
struct Rectifier {
  const SiteStatus* site;
  const UnitStatus* unit;
  RectifierSnapshot values;

  Labels UnitLabels() const { return {{"site", site->name}, {"data_id", Id(unit->data_id)}}; }
};
using Rectifiers = std::vector<Rectifier>;

Rectifiers CurrentRectifiers(const Sites& sites) {
  Rectifiers rectifiers;
  for (const auto& site : sites)
    for (const auto& unit : site.units)
      if (auto values = CurrentRectifierValues(unit))
        rectifiers.push_back({&site, &unit, std::move(*values)});
  return rectifiers;
}

void RectifierValue(std::string& out, const Rectifiers& rectifiers) {
  Family family(out, "k426b_rectifier_value", "gauge",
                "Rectifier group value and parameter values, while current.");
  for (const auto& rectifier : rectifiers)
    for (const auto& field : rectifier.values.fields) {
      Labels labels = rectifier.UnitLabels();
      labels.emplace_back("field", field.name);
      family.Sample(labels, field.value);
    }
}

void RectifierModules(std::string& out, const Rectifiers& rectifiers) {
  Family family(out, "k426b_rectifier_modules", "gauge",
                "Number of rectifier modules, while current.");
  for (const auto& rectifier : rectifiers)
    family.Sample(rectifier.UnitLabels(),
                  static_cast<unsigned long long>(rectifier.values.modules.size()));
}

void RectifierModuleValue(std::string& out, const Rectifiers& rectifiers) {
  Family family(out, "k426b_rectifier_module_value", "gauge",
                "Each rectifier module's values by position (module from 1; index 0 the "
                "first value, 1 to 7 the further values), while current.");
  for (const auto& rectifier : rectifiers)
    for (std::size_t m = 0; m < rectifier.values.modules.size(); ++m) {
      const auto& module = rectifier.values.modules[m];
      auto value_labels = [&](std::size_t index) {
        Labels labels = rectifier.UnitLabels();
        labels.emplace_back("module", std::to_string(m + 1));
        labels.emplace_back("index", std::to_string(index));
        return labels;
      };
      family.Sample(value_labels(0), module.first);
      for (std::size_t j = 0; j < module.further.size(); ++j)
        family.Sample(value_labels(j + 1), module.further[j]);
    }
}

void AlarmActive(std::string& out, const Sites& sites) {
  Family family(out, "k426b_alarm_active", "gauge",
                "Each alarm rule's state: 1 raised, 0 normal (the model alarm included).");
  for (const auto& site : sites)
    for (const auto& alarm : site.alarms)
      family.Sample({{"site", site.name},
                     {"data_id", Id(alarm.data_id)},
                     {"rule_id", alarm.rule_id},
                     {"code", alarm.code},
                     {"level", std::to_string(alarm.level)},
                     {"name", alarm.name},
                     {"description", alarm.description}},
                    alarm.active ? 1ull : 0ull);
}

}  // namespace

std::string EscapeLabelValue(const std::string& value) {
  // A label value must be UTF-8: a byte from the line that is not is written as `\xFF`, its
  // backslash escaped as every backslash is.
  if (!IsValidUtf8(value)) return EscapeLabelValue(ValidUtf8(value));
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : value) {
    if (c == '\\')
      escaped += "\\\\";
    else if (c == '"')
      escaped += "\\\"";
    else if (c == '\n')
      escaped += "\\n";
    else
      escaped += c;
  }
  return escaped;
}

std::string RenderMetrics(const std::vector<SiteStatus>& sites, const std::string& version) {
  std::string out;
  BuildInfo(out, version);
  SiteInfo(out, sites);
  LineUp(out, sites);
  SiteProblem(out, sites);
  SiteCounterTotals(out, sites);
  CycleDuration(out, sites);
  FrameErrors(out, sites);
  ReplyErrors(out, sites);
  UnitValues(out, sites);
  DataAge(out, sites);
  const Rectifiers rectifiers = CurrentRectifiers(sites);
  RectifierValue(out, rectifiers);
  RectifierModules(out, rectifiers);
  RectifierModuleValue(out, rectifiers);
  AlarmActive(out, sites);
  return out;
}

std::string RenderMetrics(const StatusView& status) {
  return RenderMetrics(status.Sites(), K426B_VERSION_STRING);
}

void AddMetricsRoute(Routes& routes, const StatusView& status, const HistoryHealthView* history,
                     const MqttHealthView* mqtt) {
  routes.AddRoute("/metrics", [&status, history, mqtt](const HttpRequest&, HttpResponse& response) {
    std::string text = RenderMetrics(status);
    if (history != nullptr) AppendHistoryMetrics(text, history->Health());
    if (mqtt != nullptr) AppendMqttMetrics(text, mqtt->Health());
    response.SetContent(text, kMetricsContentType);
  });
}

}  // namespace k426b_host
