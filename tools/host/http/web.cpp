#include "tools/host/http/web.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "tools/host/events/event_stream.h"
#include "tools/host/status/rectifier_view.h"
#include "tools/host/http/web_assets.h"

namespace k426b_host {

namespace {

using Clock = std::chrono::steady_clock;

const WebAsset* FindAsset(const std::string& name) {
  for (std::size_t i = 0; i < WebAssetCount(); ++i) {
    if (name == WebAssets()[i].name) return &WebAssets()[i];
  }
  return nullptr;
}

// The page and its files come from us only: the browser refuses scripts, styles and connections
// to anywhere else, and no other site may frame the page.
void SetPageHeaders(HttpResponse& response) {
  response.SetHeader(
      "Content-Security-Policy",
      "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
      "connect-src 'self'; base-uri 'none'; form-action 'none'; "
      "frame-ancestors 'none'");
  response.SetHeader("X-Content-Type-Options", "nosniff");
  response.SetHeader("Referrer-Policy", "no-referrer");
  response.SetHeader("Cache-Control", "no-cache");
}

void ServeAsset(const WebAsset& asset, HttpResponse& response) {
  SetPageHeaders(response);
  response.SetContent(std::string(reinterpret_cast<const char*>(asset.data), asset.size),
                      asset.content_type);
}

void ServeJson(const Json::Value& value, HttpResponse& response) {
  response.SetHeader("Cache-Control", "no-store");
  response.SetHeader("X-Content-Type-Options", "nosniff");
  response.SetContent(CompactJson(value), "application/json; charset=utf-8");
}

void ServeError(int status, const std::string& text, HttpResponse& response) {
  Json::Value error(Json::objectValue);
  error["error"] = text;
  ServeJson(error, response);
  response.status = status;
}

class SiteJsonWriter {
 public:
  SiteJsonWriter(const StatusView& status, const WebOptions& options)
      : status_(status), describe_unit_(options.describe_unit) {}

  Json::Value Site(const SiteStatus& status, bool with_trace) const {
    return DescribedSiteJson(status, with_trace, describe_unit_);
  }

  Json::Value Overview() const {
    Json::Value sites(Json::arrayValue);
    for (const SiteStatus& site : status_.Sites()) sites.append(Site(site, false));
    return sites;
  }

  // One site in full, or null when the board does not know it (any more).
  Json::Value OneSite(const std::string& name) const {
    const std::optional<SiteStatus> site = status_.Site(name);
    return site ? Site(*site, true) : Json::Value();
  }

 private:
  const StatusView& status_;
  DescribeUnit describe_unit_;
};

// One open /events stream. It lives as long as the response's content provider, so the count of
// open streams drops whichever way the stream ends (client gone, server stopping, write error).
class EventFeed {
 public:
  EventFeed(const StatusView& status, std::shared_ptr<const SiteJsonWriter> writer,
            const WebOptions& options, std::shared_ptr<std::atomic<unsigned>> open_streams,
            std::optional<std::string> site)
      : status_(status),
        writer_(std::move(writer)),
        options_(options),
        open_streams_(std::move(open_streams)),
        site_(std::move(site)) {}
  ~EventFeed() { --*open_streams_; }
  EventFeed(const EventFeed&) = delete;
  EventFeed& operator=(const EventFeed&) = delete;

  // Called by the server again and again while it returns true; each call waits at most one
  // slice, so a stopping server is noticed soon.
  bool Next(const HttpResponse::Write& write) {
    std::string out;
    bool changed = !started_;
    if (!started_) {
      out = "retry: 3000\n\n";  // the browser reconnects after 3 s
      started_ = true;
    } else {
      changed = status_.WaitForChange(generation_, options_.wait_slice) != generation_;
      const auto since_push = Clock::now() - last_push_;
      if (changed && since_push < options_.min_push_interval)
        std::this_thread::sleep_for(options_.min_push_interval - since_push);
    }
    if (changed) {
      generation_ = status_.generation();  // before reading, so a later change is not missed
      std::string payload = CompactJson(site_ ? writer_->OneSite(*site_) : writer_->Overview());
      if (payload != last_payload_) {
        out += "data: " + payload + "\n\n";
        last_payload_ = std::move(payload);
        last_push_ = Clock::now();
      }
    }
    if (out.empty() && Clock::now() - last_write_ >= options_.keep_alive) out = ": keep-alive\n\n";
    if (out.empty()) return true;
    if (!write(out)) return false;
    last_write_ = Clock::now();
    return true;
  }

 private:
  const StatusView& status_;
  std::shared_ptr<const SiteJsonWriter> writer_;
  WebOptions options_;
  std::shared_ptr<std::atomic<unsigned>> open_streams_;
  std::optional<std::string> site_;
  bool started_ = false;
  unsigned long long generation_ = 0;
  std::string last_payload_;
  Clock::time_point last_push_{};
  Clock::time_point last_write_ = Clock::now();
};

}  // namespace

void DescribeRectifierUnit(const UnitStatus& unit, Json::Value& unit_json) {
  const std::optional<RectifierSnapshot> decoded = CurrentRectifierValues(unit);
  if (!decoded) return;
  Json::Value group(Json::objectValue);
  for (const RectifierField& field : decoded->fields) group[field.name] = FloatJson(field.value);
  unit_json["group"] = group;
  Json::Value modules(Json::arrayValue);
  for (const RectifierModuleValues& module : decoded->modules) {
    Json::Value row(Json::objectValue);
    row["position"] = modules.size() + 1;
    row["first"] = FloatJson(module.first);
    Json::Value further(Json::arrayValue);
    for (float value : module.further) further.append(FloatJson(value));
    row["further"] = further;
    modules.append(row);
  }
  unit_json["modules"] = modules;
}

Json::Value DescribedSiteJson(const SiteStatus& status, bool with_trace,
                              const DescribeUnit& describe) {
  Json::Value site = SiteStatusJson(status, with_trace);
  if (describe) {
    Json::Value& units = site["units"];
    for (Json::ArrayIndex i = 0; i < units.size() && i < status.units.size(); ++i)
      describe(status.units[i], units[i]);
  }
  return site;
}

void AddWebRoutes(Routes& routes, const StatusView& status, WebOptions options) {
  auto writer = std::make_shared<const SiteJsonWriter>(status, options);
  auto open_streams = std::make_shared<std::atomic<unsigned>>(0);

  routes.AddRoute("/", [](const HttpRequest&, HttpResponse& response) {
    ServeAsset(*FindAsset("index.html"), response);
  });
  routes.AddRoute("/assets/(.+)", [](const HttpRequest& request, HttpResponse& response) {
    const WebAsset* asset = FindAsset(request.matches[1]);
    if (asset == nullptr) return ServeError(404, "no such file", response);
    ServeAsset(*asset, response);
  });
  routes.AddRoute("/api/sites", [writer](const HttpRequest&, HttpResponse& response) {
    ServeJson(writer->Overview(), response);
  });
  routes.AddRoute("/api/sites/(.+)", [writer](const HttpRequest& request, HttpResponse& response) {
    const Json::Value site = writer->OneSite(request.matches[1]);
    if (site.isNull()) return ServeError(404, "unknown site", response);
    ServeJson(site, response);
  });
  routes.AddRoute("/events", [&status, writer, options, open_streams](const HttpRequest& request,
                                                                      HttpResponse& response) {
    const std::optional<std::string> site = request.Param("site");
    if (site && !status.Site(*site)) return ServeError(404, "unknown site", response);
    if (++*open_streams > options.max_event_streams) {
      --*open_streams;
      response.SetHeader("Retry-After", "10");
      return ServeError(503, "too many event streams; poll /api/sites instead", response);
    }
    auto feed = std::make_shared<EventFeed>(status, writer, options, open_streams, site);
    response.SetHeader("Cache-Control", "no-store");
    response.SetHeader("X-Content-Type-Options", "nosniff");
    // Event streams are UTF-8 by definition. This exact type, without a charset, also keeps the
    // server from compressing the stream, which would hold every event back in the compressor.
    response.content_type = "text/event-stream";
    response.stream = [feed](const HttpResponse::Write& write) { return feed->Next(write); };
  });
}

}  // namespace k426b_host
