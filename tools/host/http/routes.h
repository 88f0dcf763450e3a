#pragma once

// What an output of the HTTP endpoint (the metrics, the web page) sees of it: GET routes, each a
// path pattern and a handler that fills a small response from a small request. Only the server
// knows the HTTP library; it also refuses every method but GET and HEAD, so a route never sees
// one.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace k426b_host {

struct HttpRequest {
  std::vector<std::string> matches;           // the whole path, then the pattern's groups
  std::map<std::string, std::string> params;  // the query's parameters, the first of each name

  std::optional<std::string> Param(const std::string& name) const {
    const auto found = params.find(name);
    if (found == params.end()) return std::nullopt;
    return found->second;
  }
};

struct HttpResponse {
  // Hands one piece of a stream to the client; false once the client is gone.
  using Write = std::function<bool(const std::string& piece)>;

  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string content_type;
  std::string body;
  // Instead of the body, a stream sent in chunks: the server calls it again and again, and ends
  // the stream when it returns false or the server stops.
  std::function<bool(const Write& write)> stream;

  void SetHeader(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
  }
  void SetContent(std::string content, std::string type) {
    body = std::move(content);
    content_type = std::move(type);
  }
};

using RouteHandler = std::function<void(const HttpRequest& request, HttpResponse& response)>;

class Routes {
 public:
  virtual ~Routes() = default;
  // Adds a GET (and HEAD) route; `pattern` is a regular expression the whole path must match.
  virtual void AddRoute(const std::string& pattern, RouteHandler handler) = 0;
};

}  // namespace k426b_host
