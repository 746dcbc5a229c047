// The TLS transport: the agent's context and a connection's reads, writes and close through it.
#include "sockets/Tls.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "core/Log.h"
#include "core/Settings.h"
#include "sockets/Connection.h"

// Every setting comes from kadrel.ini: an encrypted key is refused instead of OpenSSL asking
// for its pass phrase on the terminal or standard input, where start-up would wait for ever.
// `asked` (a bool) records that the key wanted one.
static int refusePassPhrase(char*, int, int, void* asked) {
  if (asked != nullptr) *static_cast<bool*>(asked) = true;
  return -1;
}

std::string TlsFailure(const std::string& fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  const char* reason = ERR_reason_error_string(code);
  return reason != nullptr ? reason : text;
}

SSL_CTX* MakeServerTls(const std::string& cert, const std::string& key, const std::string& clientCa,
                       std::string& failure) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_method());
  if (ctx == nullptr) {
    failure = "Could not make a TLS context: " + TlsFailure("out of memory");
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // A peer that closes without the end-of-stream message has closed all the same: the frames'
  // lengths, not TLS, tell a cut frame.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Writes return after each record, as send() after each piece: the caller's loop goes on.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Panels open a connection per task and never resume a session: nothing kept, no tickets.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(ctx, 0);
  bool encrypted = false;
  SSL_CTX_set_default_passwd_cb(ctx, refusePassPhrase);
  SSL_CTX_set_default_passwd_cb_userdata(ctx, &encrypted);
  if (cert.empty() || key.empty()) {
    failure = "tls=on needs tlscert and tlskey";
  } else if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1) {
    failure = "Could not load the TLS certificate " + cert + ": " + TlsFailure("unusable");
  } else if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 &&
             ERR_GET_REASON(ERR_peek_last_error()) != X509_R_KEY_VALUES_MISMATCH) {
    failure = "Could not load the TLS key " + key + ": " +
              (encrypted ? "it is encrypted, and no pass phrase is asked for" : TlsFailure("unusable"));
  } else if (SSL_CTX_check_private_key(ctx) != 1) {
    failure = "The TLS key " + key + " does not match the certificate " + cert;
  } else if (!clientCa.empty()) {
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(clientCa.c_str());
    if (names == nullptr || SSL_CTX_load_verify_locations(ctx, clientCa.c_str(), nullptr) != 1) {
      failure = "Could not load the TLS client CA " + clientCa + ": " + TlsFailure("no certificate in it");
      sk_X509_NAME_pop_free(names, X509_NAME_free);
    } else {
      SSL_CTX_set_client_CA_list(ctx, names);
      SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
  }
  SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);
  if (!failure.empty()) {
    SSL_CTX_free(ctx);
    ERR_clear_error();
    return nullptr;
  }
  return ctx;
}

static SSL_CTX* context = nullptr;

void LoadTls() {
  const Settings& s = settings();
  if (!s.tls) return;
  std::string failure;
  context = MakeServerTls(s.tlscert, s.tlskey, s.tlsclientca, failure);
  if (context == nullptr) Log_err("%s", failure.c_str());
}

SSL_CTX* ServerTls() { return context; }

// ---- Connection through TLS ----

// After a fatal failure no end-of-stream message may be sent: the connection is marked as if it
// had been sent and received.
static void markFailed(SSL* ssl) { SSL_set_shutdown(ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN); }

bool Connection::tlsWait(int want) const {
  const short events = want == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
  if (hasDeadline_) return waitReady(events);
  int timeout = -1;
  timeval stall = {0, 0};
  socklen_t len = sizeof stall;
  if (events == POLLOUT && getsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &stall, &len) == 0 &&
      (stall.tv_sec > 0 || stall.tv_usec > 0))
    timeout = static_cast<int>(std::min<long long>(stall.tv_sec * 1000LL + stall.tv_usec / 1000, INT_MAX));
  for (;;) {
    pollfd p = {fd_, events, 0};
    const int r = poll(&p, 1, timeout);
    if (r > 0 || (r < 0 && errno != EINTR)) return true;  // a failure shows in the next call
    if (r == 0) return false;
  }
}

bool Connection::start_tls(ssl_ctx_st* ctx, std::string& failure, const char*& refused) {
  refused = nullptr;
  ERR_clear_error();
  const int flags = fcntl(fd_, F_GETFL);
  ssl_ = SSL_new(ctx);
  if (ssl_ == nullptr || flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0 ||
      SSL_set_fd(ssl_, fd_) != 1) {
    failure = "could not start: " + TlsFailure("out of memory");
    if (ssl_ != nullptr) markFailed(ssl_);
    return false;
  }
  for (;;) {
    if (hasDeadline_ && std::chrono::steady_clock::now() >= deadline_) {
      failure = "time for the handshake ran out";
      markFailed(ssl_);
      return false;
    }
    ERR_clear_error();
    const int r = SSL_accept(ssl_);
    if (r == 1) return true;
    const int want = SSL_get_error(ssl_, r);
    if (want == SSL_ERROR_WANT_READ || want == SSL_ERROR_WANT_WRITE) {
      tlsWait(want);  // the deadline is checked again above
      continue;
    }
    markFailed(ssl_);
    const long verified = SSL_get_verify_result(ssl_);
    if (want == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
      failure = r == 0 || errno == 0 || errno == ECONNRESET ? "the peer closed" : strerror(errno);
    } else {
      const bool noCertificate =
          ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE;
      refused = verified != X509_V_OK || noCertificate ? "certificate" : "tls";
      failure = TlsFailure("refused");
    }
    if (verified != X509_V_OK) failure += std::string(" (") + X509_verify_cert_error_string(verified) + ")";
    return false;
  }
}

bool Connection::tlsSend(const char* data, size_t size) const {
  size_t sent = 0;
  while (sent < size) {
    if (hasDeadline_ && std::chrono::steady_clock::now() >= deadline_) {
      errno = EAGAIN;
      return false;
    }
    ERR_clear_error();
    const int n = SSL_write(ssl_, data + sent, static_cast<int>(std::min<size_t>(size - sent, INT_MAX)));
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const int want = SSL_get_error(ssl_, n);
    if (want == SSL_ERROR_WANT_WRITE || want == SSL_ERROR_WANT_READ) {
      if (tlsWait(want)) continue;
      errno = EAGAIN;  // no progress within the deadline or the stall time
      return false;
    }
    markFailed(ssl_);
    if (want != SSL_ERROR_SYSCALL || errno == 0) errno = EPIPE;
    ERR_clear_error();
    return false;
  }
  return true;
}

long Connection::tlsReceive(char* buf, size_t len) {
  ERR_clear_error();
  const int n = SSL_read(ssl_, buf, static_cast<int>(std::min<size_t>(len, INT_MAX)));
  if (n > 0) return n;
  const int want = SSL_get_error(ssl_, n);
  if (want == SSL_ERROR_ZERO_RETURN) return 0;
  if (want == SSL_ERROR_WANT_READ || want == SSL_ERROR_WANT_WRITE) {
    tlsWait(want);
    return kTlsWaited;
  }
  markFailed(ssl_);
  if (want != SSL_ERROR_SYSCALL || errno == 0) errno = EPROTO;
  ERR_clear_error();
  return -1;
}

void Connection::tlsClose() {
  // Sent without waiting for room or for the peer's own end of stream.
  if ((SSL_get_shutdown(ssl_) & SSL_SENT_SHUTDOWN) == 0) SSL_shutdown(ssl_);
  ERR_clear_error();
  SSL_free(ssl_);
  ssl_ = nullptr;
}
