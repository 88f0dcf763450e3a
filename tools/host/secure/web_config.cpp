#include "tools/host/secure/web_config.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <yaml-cpp/yaml.h>

namespace k426b_host {

namespace {

constexpr std::size_t kMaxFileBytes = 1 << 20;

constexpr std::array<const char*, 5> kClientAuthTypes = {
    "NoClientCert", "RequestClientCert", "RequireAnyClientCert", "VerifyClientCertIfGiven",
    "RequireAndVerifyClientCert"};
constexpr std::array<const char*, 4> kVersions = {"TLS10", "TLS11", "TLS12", "TLS13"};
// The headers a response may carry from the file: security headers only, so the file cannot
// change what a response means (its type, length or caching).
constexpr std::array<const char*, 5> kHeaders = {"Strict-Transport-Security",
                                                 "X-Content-Type-Options", "X-Frame-Options",
                                                 "X-XSS-Protection", "Content-Security-Policy"};

template <std::size_t N>
bool OneOf(const std::array<const char*, N>& names, const std::string& name) {
  return std::any_of(names.begin(), names.end(),
                     [&name](const char* each) { return name == each; });
}

// A mapping's keys, each one of `known`; the problem names the first other one.
std::string CheckKeys(const YAML::Node& node, const std::string& where,
                      const std::vector<std::string>& known) {
  if (!node.IsMap()) return where + " must be a mapping";
  for (const auto& entry : node) {
    if (!entry.first.IsScalar()) return where + ": a key is not a name";
    const std::string key = entry.first.Scalar();
    if (std::find(known.begin(), known.end(), key) == known.end())
      return where + ": unknown key \"" + key + "\"";
  }
  return {};
}

std::string Text(const YAML::Node& node, const std::string& where, std::string& value) {
  if (!node.IsScalar()) return where + " must be a string";
  value = node.Scalar();
  return {};
}

bool PrintableLine(const std::string& text) {
  return std::none_of(text.begin(), text.end(),
                      [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// What `htpasswd -B` and crypt() write: $2a$, $2b$ or $2y$, two cost digits, 53 characters.
bool BcryptHash(const std::string& hash) {
  if (hash.size() != 60 || hash[0] != '$' || hash[1] != '2' || hash[3] != '$' || hash[6] != '$')
    return false;
  if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') return false;
  if (!std::isdigit(static_cast<unsigned char>(hash[4])) ||
      !std::isdigit(static_cast<unsigned char>(hash[5])))
    return false;
  return std::all_of(hash.begin() + 7, hash.end(),
                     [](unsigned char c) { return std::isalnum(c) || c == '.' || c == '/'; });
}

std::string InFolder(const std::string& folder, const std::string& file) {
  if (file.empty() || std::filesystem::path(file).is_absolute()) return file;
  return (std::filesystem::path(folder) / file).string();
}

std::string ParseTls(const YAML::Node& node, const std::string& folder, TlsSettings& tls) {
  if (auto problem = CheckKeys(node, "tls_server_config",
                               {"cert_file", "key_file", "client_ca_file", "client_auth_type",
                                "min_version", "max_version"});
      !problem.empty())
    return problem;
  for (const auto& entry : node) {
    const std::string key = entry.first.Scalar();
    std::string value;
    if (auto problem = Text(entry.second, "tls_server_config." + key, value); !problem.empty())
      return problem;
    if (key == "cert_file") tls.cert_file = InFolder(folder, value);
    if (key == "key_file") tls.key_file = InFolder(folder, value);
    if (key == "client_ca_file") tls.client_ca_file = InFolder(folder, value);
    if (key == "client_auth_type") tls.client_auth_type = value;
    if (key == "min_version") tls.min_version = value;
    if (key == "max_version") tls.max_version = value;
  }
  if (tls.cert_file.empty() != tls.key_file.empty())
    return "tls_server_config needs both cert_file and key_file";
  tls.enabled = !tls.cert_file.empty();
  if (!tls.client_auth_type.empty() && !OneOf(kClientAuthTypes, tls.client_auth_type))
    return "tls_server_config.client_auth_type: \"" + tls.client_auth_type +
           "\" is none of NoClientCert, RequestClientCert, RequireAnyClientCert, "
           "VerifyClientCertIfGiven, RequireAndVerifyClientCert";
  // A CA file alone means its certificates are required.
  if (tls.client_auth_type.empty())
    tls.client_auth_type =
        tls.client_ca_file.empty() ? "NoClientCert" : "RequireAndVerifyClientCert";
  const bool verifies = tls.client_auth_type == "VerifyClientCertIfGiven" ||
                        tls.client_auth_type == "RequireAndVerifyClientCert";
  if (verifies && tls.client_ca_file.empty())
    return "tls_server_config.client_auth_type " + tls.client_auth_type + " needs client_ca_file";
  for (const std::string* version : {&tls.min_version, &tls.max_version})
    if (!OneOf(kVersions, *version))
      return "tls_server_config: version \"" + *version +
             "\" is none of TLS10, TLS11, TLS12, TLS13";
  if (tls.min_version > tls.max_version)
    return "tls_server_config: min_version is above max_version";
  if (!tls.enabled && (!tls.client_ca_file.empty() || tls.client_auth_type != "NoClientCert"))
    return "tls_server_config: client certificates need cert_file and key_file";
  return {};
}

std::string ParseUsers(const YAML::Node& node, WebConfig& config) {
  if (!node.IsMap()) return "basic_auth_users must be a mapping of user to bcrypt hash";
  for (const auto& entry : node) {
    if (!entry.first.IsScalar() || !entry.second.IsScalar())
      return "basic_auth_users must be a mapping of user to bcrypt hash";
    const std::string user = entry.first.Scalar();
    const std::string hash = entry.second.Scalar();
    if (user.empty() || user.find(':') != std::string::npos || !PrintableLine(user))
      return "basic_auth_users: a user name must be printable, without ':'";
    if (!BcryptHash(hash))
      return "basic_auth_users." + user + ": not a bcrypt hash (htpasswd -nBC 10 USER writes one)";
    config.users[user] = hash;
  }
  return {};
}

std::string ParseServer(const YAML::Node& node, WebConfig& config) {
  if (auto problem = CheckKeys(node, "http_server_config", {"headers", "http2"}); !problem.empty())
    return problem;
  // http2 is accepted for files written for other exporters; this endpoint speaks HTTP/1.1.
  if (node["http2"] && !node["http2"].IsScalar())
    return "http_server_config.http2 must be a boolean";
  const YAML::Node headers = node["headers"];
  if (!headers) return {};
  if (!headers.IsMap()) return "http_server_config.headers must be a mapping";
  for (const auto& entry : headers) {
    if (!entry.first.IsScalar() || !entry.second.IsScalar())
      return "http_server_config.headers must map a header to a string";
    const std::string name = entry.first.Scalar();
    const std::string value = entry.second.Scalar();
    if (!OneOf(kHeaders, name))
      return "http_server_config.headers: \"" + name +
             "\" is none of Strict-Transport-Security, X-Content-Type-Options, "
             "X-Frame-Options, X-XSS-Protection, Content-Security-Policy";
    if (!PrintableLine(value)) return "http_server_config.headers." + name + ": not one line";
    config.headers.emplace_back(name, value);
  }
  return {};
}

}  // namespace

std::string ParseWebConfig(const std::string& text, const std::string& folder, WebConfig& config) {
  WebConfig parsed;
  YAML::Node root;
  try {
    root = YAML::Load(text);
  } catch (const YAML::Exception& error) {
    return "not YAML: " + error.msg + " at line " + std::to_string(error.mark.line + 1);
  }
  // An empty file: plain HTTP, no users, like no file.
  if (root.IsNull()) {
    config = parsed;
    return {};
  }
  if (auto problem = CheckKeys(root, "the file",
                               {"tls_server_config", "basic_auth_users", "http_server_config"});
      !problem.empty())
    return problem;
  try {
    if (root["tls_server_config"])
      if (auto problem = ParseTls(root["tls_server_config"], folder, parsed.tls); !problem.empty())
        return problem;
    if (root["basic_auth_users"])
      if (auto problem = ParseUsers(root["basic_auth_users"], parsed); !problem.empty())
        return problem;
    if (root["http_server_config"])
      if (auto problem = ParseServer(root["http_server_config"], parsed); !problem.empty())
        return problem;
  } catch (const YAML::Exception& error) {
    return error.msg;
  }
  config = std::move(parsed);
  return {};
}

std::string ReadWebConfig(const std::string& path, WebConfig& config) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot read " + path;
  std::string text(kMaxFileBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxFileBytes) return path + " is larger than 1 MiB";
  const std::string folder = std::filesystem::path(path).parent_path().string();
  if (auto problem = ParseWebConfig(text, folder.empty() ? "." : folder, config); !problem.empty())
    return path + ": " + problem;
  return {};
}

}  // namespace k426b_host
