#pragma once

// The endpoint's security as the web configuration file sets it: whether it speaks TLS (and
// with which context), who may ask (basic auth, bcrypt through the system's crypt), and the
// headers every response carries. The file is read again when it (or a certificate or key it
// names) changes; a change that cannot be used is logged once and the settings in force stay.

#include <sys/types.h>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/host/secure/tls_session.h"
#include "tools/host/secure/web_config.h"

namespace k426b_host {

struct WebSettings {
  WebConfig config;
  TlsContext tls;  // null: plain HTTP
};

class WebSecurity {
 public:
  // Reads `path`. Empty on success, else the problem (the file, a certificate or the key).
  std::string Load(const std::string& path);
  // The settings in force, after reading the file again if it changed (looked at once a second
  // at most). Any thread.
  std::shared_ptr<const WebSettings> Current();
  // kAllowed when `settings` has no users, or `authorization` ("Basic BASE64") names one of
  // them with the password its hash was made from; kBusy when telling would take a password
  // hash while as many are being made as the endpoint spares workers for.
  enum class Access { kAllowed, kRefused, kBusy };
  Access Check(const WebSettings& settings, const std::string& authorization);

 private:
  struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    long long modified_ns = -1;
    bool operator==(const Stamp& other) const;
  };
  std::vector<Stamp> StampsOf(const WebConfig& config) const;
  std::string Read(std::shared_ptr<const WebSettings>& settings, std::vector<Stamp>& stamps) const;

  std::string path_;
  std::mutex mutex_;
  std::shared_ptr<const WebSettings> settings_;
  std::vector<Stamp> stamps_;   // of the file and what it names, as last read
  std::vector<Stamp> refused_;  // of a change refused already (logged once)
  std::chrono::steady_clock::time_point next_look_{};
  std::mutex passed_mutex_;
  std::map<std::string, std::string> passed_;  // user and password digest -> hash they matched
  std::atomic<int> hashing_{0};                // password hashes being made now
};

}  // namespace k426b_host
