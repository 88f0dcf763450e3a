// The web routes over a real socket on 127.0.0.1: the page and its files, the JSON of the
// overview and of one site, read-only refusals, and the event stream's pushes, limit and stop.

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>

#include "tests/tools/fleet/demo_board.h"
#include "tools/host/events/event_stream.h"
#include "tools/host/http/http_server.h"
#include "tools/host/status/rectifier_view.h"
#include "tools/host/http/web.h"
#include "tools/host/status/status_board.h"

namespace k426b_host {

namespace {

using namespace std::chrono_literals;

SiteStatus TestSite(const std::string& name) {
  SiteStatus site;
  site.name = name;
  site.port = "tcp://127.0.0.1:1";
  site.model = "K426B";
  site.line = {LineCondition::kUp, "2026-12-08T10:00:00.000+00:00", "", 0, 0, ""};
  UnitStatus dc;
  dc.data_id = 7;
  dc.device_type = "k426b-dc";
  dc.record_type = 5096;
  dc.age_s = 1.5;
  dc.values = {{"v", 53.5f, ""}, {"i", std::nullopt, "数据已超时"}};
  site.units = {dc};
  AlarmStatus alarm{7, 2, "DC_0", "01001", "直流电压高", "<b>desc</b>", true, "2026-12-08T10:00:01.000+00:00"};
  site.alarms = {alarm};
  site.alarm_changes = {{"2026-12-08T10:00:01.000+00:00", alarm}};
  auto trace = std::make_shared<FrameTrace>();
  trace->Add({"2026-12-08T10:00:02.000+00:00", "rx", "~2001", -1, -1, true, "bad CHKSUM"});
  site.trace = trace;
  return site;
}

Json::Value Parse(const std::string& text) {
  Json::Value value;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << text;
  return value;
}

class WebServer {
 public:
  WebServer(const StatusBoard& board, WebOptions options) {
    AddWebRoutes(server_, board, std::move(options));
    EXPECT_EQ(server_.Start({"127.0.0.1", 0}), "");
    port_ = server_.port();
  }
  ~WebServer() { Stop(); }
  // True when the server's thread ended within the deadline.
  bool Stop() {
    if (!stopped_.valid()) stopped_ = std::async(std::launch::async, [this] { server_.Stop(); });
    return stopped_.wait_for(10s) == std::future_status::ready;
  }
  httplib::Client Client() const {
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(5s);
    client.set_read_timeout(10s);
    return client;
  }

 private:
  HttpServer server_;
  int port_ = 0;
  std::future<void> stopped_;
};

// Reads one /events stream on its own thread and collects the JSON of each "data:" event.
class EventReader {
 public:
  EventReader(const WebServer& server, const std::string& path, httplib::Headers headers = {}) {
    thread_ = std::thread([this, &server, path, headers] {
      httplib::Client client = server.Client();
      auto result = client.Get(path, headers, [this](const char* data, std::size_t length) {
        std::lock_guard<std::mutex> lock(mutex_);
        buffer_.append(data, length);
        for (std::size_t end; (end = buffer_.find("\n\n")) != std::string::npos;) {
          const std::string block = buffer_.substr(0, end);
          buffer_.erase(0, end + 2);
          if (block.rfind("data: ", 0) == 0) events_.push_back(block.substr(6));
        }
        changed_.notify_all();
        return !stop_;
      });
      std::lock_guard<std::mutex> lock(mutex_);
      status_ = result ? result->status : -1;
      ended_ = true;
      changed_.notify_all();
    });
  }
  ~EventReader() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    thread_.join();
  }
  // The first event whose JSON satisfies `test`, waiting at most 10 s.
  template <typename Test>
  std::optional<Json::Value> WaitFor(Test test) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<Json::Value> found;
    changed_.wait_for(lock, 10s, [&] {
      while (seen_ < events_.size()) {
        Json::Value event = Parse(events_[seen_++]);
        if (test(event)) {
          found = event;
          return true;
        }
      }
      return ended_;
    });
    return found;
  }
  int WaitForEnd() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return ended_; });
    return ended_ ? status_ : 0;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string buffer_;
  std::vector<std::string> events_;
  std::size_t seen_ = 0;
  bool stop_ = false;
  bool ended_ = false;
  int status_ = 0;
  std::thread thread_;
};

WebOptions FastOptions() {
  WebOptions options;
  options.keep_alive = 100ms;
  options.wait_slice = 50ms;
  options.min_push_interval = 10ms;
  return options;
}

TEST(WebRoutes, ServesThePageAndItsFilesAsUtf8WithNoOutsideSources) {
  StatusBoard board;
  WebServer server(board, FastOptions());
  httplib::Client client = server.Client();

  auto page = client.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(page->body.find("<meta charset=\"utf-8\">"), std::string::npos);
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"),
            std::string::npos);
  EXPECT_EQ(page->body.find("http"), std::string::npos) << "the page loads nothing from outside";

  for (const char* asset : {"app.js", "style.css"}) {
    EXPECT_NE(page->body.find(std::string("assets/") + asset), std::string::npos) << asset;
    auto file = client.Get(std::string("/assets/") + asset);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->status, 200) << asset;
    EXPECT_NE(file->get_header_value("Content-Type").find("charset=utf-8"), std::string::npos);
    EXPECT_GT(file->body.size(), 100u);
  }
  auto missing = client.Get("/assets/nothing.js");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

TEST(WebRoutes, RectifierUnitCarriesItsGroupAndModulesAsDecoded) {
  SiteStatus site = TestSite("north");
  UnitStatus rc;
  rc.data_id = 100;
  rc.device_type = "k426b-rc";
  rc.record_type = kRectifierRecordType;
  rc.age_s = 1.5;
  rc.snapshot = RectifierSnapshotBytes(53.5f, {8.0f, 8.25f}, true);
  UnitStatus same_bytes_other_type = rc;
  same_bytes_other_type.record_type = 5096;
  UnitStatus short_snapshot = rc;
  short_snapshot.snapshot.pop_back();
  site.units = {rc, same_bytes_other_type, short_snapshot};

  const Json::Value units = DescribedSiteJson(site, false, DescribeRectifierUnit)["units"];
  EXPECT_EQ(units[0]["group"]["group"], 53.5);
  EXPECT_EQ(units[0]["group"]["dc_value_1"].asFloat(), 57.6f);
  const Json::Value& modules = units[0]["modules"];
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(modules[1]["position"].asInt(), 2);
  EXPECT_EQ(modules[1]["first"], 8.25);
  ASSERT_EQ(modules[1]["further"].size(), 7u);
  EXPECT_EQ(modules[1]["further"][0], 50.0);
  // Only the rectifier's record decodes, and only at the length its module count implies; the
  // page shows its note instead of a table.
  for (Json::ArrayIndex i : {1u, 2u}) {
    EXPECT_FALSE(units[i].isMember("modules")) << i;
    EXPECT_FALSE(units[i].isMember("group")) << i;
  }
}

// The page shows the rectifier's values only while the metrics do: stale data shows none.
TEST(WebRoutes, RectifierUnitCarriesItsValuesOnlyWhileCurrent) {
  UnitStatus rc;
  rc.data_id = 100;
  rc.device_type = "k426b-rc";
  rc.record_type = kRectifierRecordType;
  rc.snapshot = RectifierSnapshotBytes(53.5f, {8.0f}, true);
  rc.values = {{"", std::nullopt, "数据未就绪"}};  // what it answers while fresh
  rc.age_s = 60.9;
  UnitStatus too_old = rc;
  too_old.age_s = 61.0;
  UnitStatus timed_out = rc;
  timed_out.values = {{"", std::nullopt, "数据已超时"}};
  UnitStatus no_data = rc;
  no_data.age_s.reset();
  SiteStatus site = TestSite("north");
  site.units = {rc, too_old, timed_out, no_data};

  const Json::Value units = DescribedSiteJson(site, false, DescribeRectifierUnit)["units"];
  EXPECT_EQ(units[0]["group"]["group"], 53.5);
  EXPECT_EQ(units[0]["modules"].size(), 1u);
  for (Json::ArrayIndex i : {1u, 2u, 3u}) {
    EXPECT_FALSE(units[i].isMember("group")) << i;
    EXPECT_FALSE(units[i].isMember("modules")) << i;
  }
}

TEST(WebRoutes, OverviewAndSiteJsonKeepTheSharedShapeAndUtf8) {
  StatusBoard board;
  board.Publish(TestSite("north"));
  board.Publish(TestSite("机房 2/B"));
  WebOptions options = FastOptions();
  options.describe_unit = [](const UnitStatus& unit, Json::Value& json) {
    json["modules_for"] = unit.data_id;
  };
  WebServer server(board, options);
  httplib::Client client = server.Client();

  auto overview = client.Get("/api/sites");
  ASSERT_TRUE(overview);
  EXPECT_EQ(overview->status, 200);
  EXPECT_EQ(overview->get_header_value("Content-Type"), "application/json; charset=utf-8");
  Json::Value sites = Parse(overview->body);
  ASSERT_EQ(sites.size(), 2u);
  EXPECT_EQ(sites[0]["name"], "north");
  EXPECT_EQ(sites[1]["name"], "机房 2/B");
  EXPECT_FALSE(sites[0].isMember("frames")) << "the overview leaves the trace out";
  EXPECT_FALSE(sites[0].isMember("alarm_changes"));
  EXPECT_EQ(sites[0]["units"][0]["modules_for"], 7) << "the unit hook reaches the overview";
  EXPECT_EQ(sites[0]["line"]["state"], "up");

  auto one = client.Get("/api/sites/%E6%9C%BA%E6%88%BF%202%2FB");
  ASSERT_TRUE(one);
  ASSERT_EQ(one->status, 200);
  Json::Value site = Parse(one->body);
  Json::Value expected = SiteStatusJson(TestSite("机房 2/B"), true);
  expected["units"][0]["modules_for"] = 7;
  EXPECT_EQ(one->body, CompactJson(expected)) << "the one JSON shape, plus what the hook adds";
  EXPECT_EQ(site["units"][0]["values"]["i"]["error"], "数据已超时");
  EXPECT_EQ(site["frames"][0]["bad"], true);

  auto unknown = client.Get("/api/sites/nowhere");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);
  EXPECT_EQ(Parse(unknown->body)["error"], "unknown site");
}

TEST(WebRoutes, RefusesEveryChange) {
  StatusBoard board;
  board.Publish(TestSite("north"));
  const auto generation = board.generation();
  WebServer server(board, FastOptions());
  httplib::Client client = server.Client();

  for (const char* path : {"/", "/api/sites", "/api/sites/north", "/events", "/assets/app.js"}) {
    for (const char* method : {"POST", "PUT", "DELETE"}) {
      httplib::Request request;
      request.method = method;
      request.path = path;
      auto result = client.send(request);
      ASSERT_TRUE(result) << method << " " << path;
      EXPECT_EQ(result->status, 405) << method << " " << path;
      EXPECT_EQ(result->get_header_value("Allow"), "GET, HEAD");
    }
  }
  auto other = client.Post("/api/sites/north/restart", "", "text/plain");
  ASSERT_TRUE(other);
  EXPECT_TRUE(other->status == 404 || other->status == 405);
  EXPECT_EQ(board.generation(), generation);
}

TEST(WebEvents, PushesTheSiteAndTheOverviewWhenTheBoardChanges) {
  StatusBoard board;
  board.Publish(TestSite("north"));
  board.Publish(TestSite("south"));
  WebServer server(board, FastOptions());

  // As a browser asks: a compressed stream would hold the events back.
  EventReader site_events(server, "/events?site=north", {{"Accept-Encoding", "gzip, deflate, br"}});
  EventReader overview_events(server, "/events");
  ASSERT_TRUE(site_events.WaitFor([](const Json::Value& e) { return e["line"]["state"] == "up"; }))
      << "the current state comes first";
  ASSERT_TRUE(overview_events.WaitFor([](const Json::Value& e) { return e.size() == 2; }));

  board.Update("north", [](SiteStatus& site) { site.line.state = LineCondition::kLost; });
  auto pushed = site_events.WaitFor([](const Json::Value& e) { return e["line"]["state"] == "lost"; });
  ASSERT_TRUE(pushed);
  EXPECT_TRUE(pushed->isMember("frames")) << "a site's stream carries its trace";
  EXPECT_TRUE(overview_events.WaitFor(
      [](const Json::Value& e) { return e[0]["line"]["state"] == "lost"; }));

  // A change to another site reaches the overview without a needless push to this site.
  board.Update("south", [](SiteStatus& site) { site.model = "K426B-2"; });
  board.Update("north", [](SiteStatus& site) { site.model = "K426B-3"; });
  auto next = site_events.WaitFor([](const Json::Value&) { return true; });
  ASSERT_TRUE(next);
  EXPECT_EQ((*next)["model"], "K426B-3");
  EXPECT_TRUE(overview_events.WaitFor([](const Json::Value& e) { return e[1]["model"] == "K426B-2"; }));

  board.Remove("north");
  EXPECT_TRUE(site_events.WaitFor([](const Json::Value& e) { return e.isNull(); }))
      << "a site removed while watched";

  httplib::Client client = server.Client();
  auto unknown = client.Get("/events?site=nowhere");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);
}

TEST(WebEvents, LimitsOpenStreamsAndReleasesEachOneItsClientLeaves) {
  StatusBoard board;
  board.Publish(TestSite("north"));
  WebOptions options = FastOptions();
  options.max_event_streams = 1;
  WebServer server(board, options);
  httplib::Client client = server.Client();
  {
    EventReader first(server, "/events");
    ASSERT_TRUE(first.WaitFor([](const Json::Value&) { return true; }));
    auto refused = client.Get("/events");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 503);
  }
  // The first client went away; its stream notices at the next keep-alive and frees its place.
  std::optional<Json::Value> accepted;
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
       !accepted && std::chrono::steady_clock::now() < deadline;) {
    EventReader again(server, "/events");
    accepted = again.WaitFor([](const Json::Value&) { return true; });
  }
  EXPECT_TRUE(accepted);
}

TEST(WebEvents, StoppingTheServerEndsOpenStreams) {
  StatusBoard board;
  board.Publish(TestSite("north"));
  WebOptions options = FastOptions();
  options.keep_alive = 1h;  // the stream must end because the server stops, not by a write error
  WebServer server(board, options);
  EventReader reader(server, "/events?site=north");
  ASSERT_TRUE(reader.WaitFor([](const Json::Value&) { return true; }));
  EXPECT_TRUE(server.Stop());
  EXPECT_NE(reader.WaitForEnd(), 0) << "the client saw its stream end";
}

}  // namespace

}  // namespace k426b_host
