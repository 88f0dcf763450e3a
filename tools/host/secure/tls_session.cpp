#include "tools/host/secure/tls_session.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace k426b_host {

namespace {

int VersionOf(const std::string& name) {
  if (name == "TLS10") return TLS1_VERSION;
  if (name == "TLS11") return TLS1_1_VERSION;
  if (name == "TLS12") return TLS1_2_VERSION;
  return TLS1_3_VERSION;
}

std::string OpenSslError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// The certificate a client shows is taken whatever it is (RequestClientCert,
// RequireAnyClientCert): only whether it shows one matters.
int AcceptAny(int, X509_STORE_CTX*) { return 1; }

}  // namespace

std::string MakeTlsContext(const TlsSettings& settings, TlsContext& context) {
  TlsContext made(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (!made) return "cannot make a TLS context: " + OpenSslError();
  SSL_CTX* ctx = made.get();
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (SSL_CTX_set_min_proto_version(ctx, VersionOf(settings.min_version)) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, VersionOf(settings.max_version)) != 1)
    return "TLS versions " + settings.min_version + " to " + settings.max_version +
           " are not available: " + OpenSslError();
  if (SSL_CTX_use_certificate_chain_file(ctx, settings.cert_file.c_str()) != 1)
    return "cert_file " + settings.cert_file + ": " + OpenSslError();
  const bool key_taken =
      SSL_CTX_use_PrivateKey_file(ctx, settings.key_file.c_str(), SSL_FILETYPE_PEM) == 1;
  const bool other_key = ERR_GET_REASON(ERR_peek_error()) == X509_R_KEY_VALUES_MISMATCH;
  if (!key_taken && !other_key) return "key_file " + settings.key_file + ": " + OpenSslError();
  ERR_clear_error();
  if (!key_taken || SSL_CTX_check_private_key(ctx) != 1)
    return "key_file " + settings.key_file + " does not belong to cert_file " + settings.cert_file;
  if (!settings.client_ca_file.empty()) {
    if (SSL_CTX_load_verify_locations(ctx, settings.client_ca_file.c_str(), nullptr) != 1)
      return "client_ca_file " + settings.client_ca_file + ": " + OpenSslError();
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(settings.client_ca_file.c_str());
    if (names != nullptr) SSL_CTX_set_client_CA_list(ctx, names);
  }
  const std::string& type = settings.client_auth_type;
  if (type == "RequestClientCert") {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, AcceptAny);
  } else if (type == "RequireAnyClientCert") {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, AcceptAny);
  } else if (type == "VerifyClientCertIfGiven") {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  } else if (type == "RequireAndVerifyClientCert") {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  } else {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  }
  // Session tickets would be lost at every reload of the context anyway.
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  // Nothing left behind for the next call on this thread to take as its own error.
  ERR_clear_error();
  context = std::move(made);
  return {};
}

std::unique_ptr<TlsSession> TlsSession::Start(const TlsContext& context, int fd) {
  SSL* ssl = SSL_new(context.get());
  if (ssl == nullptr) return nullptr;
  std::unique_ptr<TlsSession> session(new TlsSession(ssl));
  if (SSL_set_fd(ssl, fd) != 1) return nullptr;
  SSL_set_accept_state(ssl);
  return session;
}

TlsSession::~TlsSession() { SSL_free(ssl_); }

TlsStep TlsSession::StepOf(int result) {
  switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ: return TlsStep::kWantRead;
    case SSL_ERROR_WANT_WRITE: return TlsStep::kWantWrite;
    case SSL_ERROR_ZERO_RETURN: return TlsStep::kClosed;
    default:
      // This thread's queue is left empty for the next session it serves.
      ERR_clear_error();
      return TlsStep::kFailed;
  }
}

TlsStep TlsSession::Handshake() {
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) {
    established_ = true;
    return TlsStep::kDone;
  }
  return StepOf(result);
}

TlsStep TlsSession::Read(char* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  const int result = SSL_read_ex(ssl_, buffer, size, &got);
  return result == 1 ? TlsStep::kDone : StepOf(result);
}

TlsStep TlsSession::Write(const char* buffer, std::size_t size, std::size_t& put) {
  put = 0;
  const int result = SSL_write_ex(ssl_, buffer, size, &put);
  return result == 1 ? TlsStep::kDone : StepOf(result);
}

bool TlsSession::Buffered() const { return SSL_has_pending(ssl_) == 1; }

void TlsSession::Close() {
  if (established_) (void)SSL_shutdown(ssl_);
  ERR_clear_error();
}

}  // namespace k426b_host
