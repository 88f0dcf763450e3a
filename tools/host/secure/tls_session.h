#pragma once

// TLS for the HTTP endpoint through OpenSSL: a server context made from the web configuration,
// and one session per connection on a non-blocking socket, so that the handshake and every read
// and write return at once instead of waiting on a slow client.

#include <cstddef>
#include <memory>
#include <string>

#include "tools/host/secure/web_config.h"

struct ssl_ctx_st;
struct ssl_st;

namespace k426b_host {

using TlsContext = std::shared_ptr<ssl_ctx_st>;

// The server context of `settings` (certificate, key, client certificates, versions). Empty on
// success, else the problem.
std::string MakeTlsContext(const TlsSettings& settings, TlsContext& context);

// What a step of a session did: done, or it needs the socket readable or writable first, or the
// peer closed, or it failed.
enum class TlsStep { kDone, kWantRead, kWantWrite, kClosed, kFailed };

class TlsSession {
 public:
  // A server session on `fd` (which stays the caller's); null when OpenSSL cannot make one.
  static std::unique_ptr<TlsSession> Start(const TlsContext& context, int fd);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  TlsStep Handshake();
  bool established() const { return established_; }
  TlsStep Read(char* buffer, std::size_t size, std::size_t& got);
  TlsStep Write(const char* buffer, std::size_t size, std::size_t& put);
  // Bytes already decrypted or received that no Read has taken.
  bool Buffered() const;
  // Tells the peer the session ends (without waiting for its answer).
  void Close();

 private:
  explicit TlsSession(ssl_st* ssl) : ssl_(ssl) {}
  TlsStep StepOf(int result);

  ssl_st* ssl_;
  bool established_ = false;
};

}  // namespace k426b_host
