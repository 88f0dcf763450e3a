#include "tools/host/secure/web_security.h"

#include <crypt.h>
#include <strings.h>
#include <sys/stat.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "tools/host/system/host_log.h"

namespace k426b_host {

namespace {

// Successful logins remembered, so that a scrape every few seconds does not pay for a bcrypt
// hash each time (about 50 ms at cost 10).
constexpr std::size_t kPassedKept = 64;
constexpr std::chrono::seconds kLookEvery{1};
// Password hashes made at once: a flood of wrong passwords takes no more than two of the
// endpoint's request workers, and scrapes whose login is remembered are served by the others.
constexpr int kHashingAtOnce = 2;
// Hashed for an unknown user, so that the answer takes as long as for a wrong password.
constexpr char kUnknownUserHash[] = "$2y$10$abcdefghijklmnopqrstuuNbpIbZWkPkiE.GCrxGGUhWTADyWUMCG";

std::string DecodeBase64(const std::string& text) {
  if (text.empty() || text.size() % 4 != 0 || text.size() > 4096) return {};
  std::string decoded(text.size() / 4 * 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  if (length < 0) return {};
  std::size_t padding = 0;
  if (text[text.size() - 1] == '=') ++padding;
  if (text[text.size() - 2] == '=') ++padding;
  decoded.resize(static_cast<std::size_t>(length) - padding);
  return decoded;
}

std::string Digest(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<char*>(digest), length);
}

// The password hashed with `hash`'s salt and cost, compared with it in constant time.
bool PasswordMatches(const std::string& password, const std::string& hash) {
  crypt_data data{};
  const char* made = crypt_r(password.c_str(), hash.c_str(), &data);
  if (made == nullptr || made[0] == '*') return false;
  const std::string computed(made);
  return computed.size() == hash.size() &&
         CRYPTO_memcmp(computed.data(), hash.data(), hash.size()) == 0;
}

}  // namespace

bool WebSecurity::Stamp::operator==(const Stamp& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified_ns == other.modified_ns;
}

std::vector<WebSecurity::Stamp> WebSecurity::StampsOf(const WebConfig& config) const {
  std::vector<Stamp> stamps;
  for (const std::string* file :
       {&path_, &config.tls.cert_file, &config.tls.key_file, &config.tls.client_ca_file}) {
    Stamp stamp;
    struct stat status {};
    if (!file->empty() && ::stat(file->c_str(), &status) == 0) {
      stamp.device = status.st_dev;
      stamp.inode = status.st_ino;
      stamp.size = status.st_size;
      stamp.modified_ns =
          static_cast<long long>(status.st_mtim.tv_sec) * 1000000000LL + status.st_mtim.tv_nsec;
    }
    stamps.push_back(stamp);
  }
  return stamps;
}

std::string WebSecurity::Read(std::shared_ptr<const WebSettings>& settings,
                              std::vector<Stamp>& stamps) const {
  auto read = std::make_shared<WebSettings>();
  // Stamped before reading: a change while reading is seen at the next look.
  WebConfig named;
  if (auto problem = ReadWebConfig(path_, named); !problem.empty()) {
    stamps = StampsOf(WebConfig{});
    return problem;
  }
  stamps = StampsOf(named);
  read->config = named;
  if (read->config.tls.enabled)
    if (auto problem = MakeTlsContext(read->config.tls, read->tls); !problem.empty())
      return path_ + ": " + problem;
  settings = std::move(read);
  return {};
}

std::string WebSecurity::Load(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  path_ = path;
  std::shared_ptr<const WebSettings> settings;
  if (auto problem = Read(settings, stamps_); !problem.empty()) return problem;
  settings_ = std::move(settings);
  next_look_ = std::chrono::steady_clock::now() + kLookEvery;
  return {};
}

std::shared_ptr<const WebSettings> WebSecurity::Current() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (now < next_look_ || path_.empty()) return settings_;
  next_look_ = now + kLookEvery;
  WebConfig named = settings_ ? settings_->config : WebConfig{};
  std::vector<Stamp> now_stamps = StampsOf(named);
  if (now_stamps == stamps_ || now_stamps == refused_) return settings_;
  std::shared_ptr<const WebSettings> settings;
  std::vector<Stamp> stamps;
  if (auto problem = Read(settings, stamps); !problem.empty()) {
    refused_ = now_stamps;
    HostLog().error("web configuration not changed, the one in force is kept: {}", problem);
    return settings_;
  }
  settings_ = std::move(settings);
  stamps_ = std::move(stamps);
  refused_.clear();
  HostLog().info("web configuration {} read again: {}, {} users", path_,
                 settings_->tls ? "TLS" : "no TLS", settings_->config.users.size());
  return settings_;
}

WebSecurity::Access WebSecurity::Check(const WebSettings& settings,
                                       const std::string& authorization) {
  const auto& users = settings.config.users;
  if (users.empty()) return Access::kAllowed;
  const std::string scheme = "Basic ";
  if (authorization.size() <= scheme.size() ||
      strncasecmp(authorization.c_str(), scheme.c_str(), scheme.size()) != 0)
    return Access::kRefused;
  const std::string pair = DecodeBase64(authorization.substr(scheme.size()));
  const std::size_t colon = pair.find(':');
  if (colon == std::string::npos) return Access::kRefused;
  const std::string user = pair.substr(0, colon);
  const std::string password = pair.substr(colon + 1);
  if (password.find('\0') != std::string::npos) return Access::kRefused;
  const auto found = users.find(user);
  const std::string& hash = found == users.end() ? std::string(kUnknownUserHash) : found->second;
  const std::string key = user + '\0' + Digest(password);
  {
    std::lock_guard<std::mutex> lock(passed_mutex_);
    const auto passed = passed_.find(key);
    if (found != users.end() && passed != passed_.end() && passed->second == hash)
      return Access::kAllowed;
  }
  if (hashing_.fetch_add(1) >= kHashingAtOnce) {
    hashing_.fetch_sub(1);
    return Access::kBusy;
  }
  const bool matches = PasswordMatches(password, hash);
  hashing_.fetch_sub(1);
  if (!matches || found == users.end()) return Access::kRefused;
  std::lock_guard<std::mutex> lock(passed_mutex_);
  if (passed_.size() >= kPassedKept) passed_.clear();
  passed_[key] = hash;
  return Access::kAllowed;
}

}  // namespace k426b_host
