#pragma once

// The endpoint's web configuration (--web.config.file), a YAML file: TLS (certificate and key,
// client certificates, protocol versions), basic-auth users with their bcrypt hashes, and
// headers added to every response.

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace k426b_host {

struct TlsSettings {
  bool enabled = false;  // a certificate and a key are given
  std::string cert_file;
  std::string key_file;
  std::string client_ca_file;
  // NoClientCert, RequestClientCert, RequireAnyClientCert, VerifyClientCertIfGiven or
  // RequireAndVerifyClientCert.
  std::string client_auth_type;
  std::string min_version = "TLS12";
  std::string max_version = "TLS13";
};

struct WebConfig {
  TlsSettings tls;
  std::map<std::string, std::string> users;  // user -> bcrypt hash
  std::vector<std::pair<std::string, std::string>> headers;
};

// Reads `text`; relative file names are taken from `folder`. Empty on success, else the problem.
std::string ParseWebConfig(const std::string& text, const std::string& folder, WebConfig& config);

// Reads the file at `path` (at most 1 MiB). Empty on success, else the problem.
std::string ReadWebConfig(const std::string& path, WebConfig& config);

}  // namespace k426b_host
