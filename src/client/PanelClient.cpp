// The panel's side of the wire.
#include "client/PanelClient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

PanelClient::~PanelClient() { close(); }

// OpenSSL's reason for the failure of the last call, or `fallback`; its error queue is emptied.
static std::string tlsReason(const char* fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  return reason != nullptr ? reason : fallback;
}

TlsClientContext MakeClientTls(const TlsClientFiles& files, std::string* error) {
  ERR_clear_error();
  TlsClientContext ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  std::string failure;
  if (!ctx) {
    failure = "cannot make a TLS context: " + tlsReason("out of memory");
  } else if (files.cafile.empty()
                 ? SSL_CTX_set_default_verify_paths(ctx.get()) != 1
                 : SSL_CTX_load_verify_locations(ctx.get(), files.cafile.c_str(), nullptr) != 1) {
    failure = "cannot load the CA certificates " + (files.cafile.empty() ? "of the system" : files.cafile) +
              ": " + tlsReason("unusable");
  } else if (files.certfile.empty() != files.keyfile.empty()) {
    failure = "a client certificate needs both --cert and --key";
  } else if (!files.certfile.empty() &&
             SSL_CTX_use_certificate_chain_file(ctx.get(), files.certfile.c_str()) != 1) {
    failure = "cannot load the certificate " + files.certfile + ": " + tlsReason("unusable");
  } else if (!files.keyfile.empty() &&
             (SSL_CTX_use_PrivateKey_file(ctx.get(), files.keyfile.c_str(), SSL_FILETYPE_PEM) != 1 ||
              SSL_CTX_check_private_key(ctx.get()) != 1)) {
    failure = "cannot use the key " + files.keyfile + ": " + tlsReason("it does not match the certificate");
  }
  if (!failure.empty()) {
    if (error) *error = failure;
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  // An agent that ends the connection without TLS's end-of-stream message has closed it.
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Records are read with as few reads as the socket allows, not each header on its own.
  SSL_CTX_set_read_ahead(ctx.get(), 1);
  return ctx;
}

bool PanelClient::startTls(const std::string& host, std::string* error) {
  ERR_clear_error();
  ssl_ = SSL_new(tls_.get());
  in_addr ip;
  const bool numeric = inet_pton(AF_INET, host.c_str(), &ip) == 1;
  // The agent's certificate must name the host as it was given: its address, or its name.
  const bool named =
      ssl_ != nullptr && SSL_set_fd(ssl_, fd_) == 1 &&
      (numeric ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str()) == 1
               : SSL_set1_host(ssl_, host.c_str()) == 1 && SSL_set_tlsext_host_name(ssl_, host.c_str()) == 1);
  if (named && SSL_connect(ssl_) == 1) return true;
  std::string why = tlsReason("the agent closed the connection");
  const long verified = ssl_ != nullptr ? SSL_get_verify_result(ssl_) : X509_V_OK;
  if (verified != X509_V_OK) why = X509_verify_cert_error_string(verified);
  if (error) *error = "TLS handshake failed: " + why;
  if (ssl_ != nullptr) SSL_free(ssl_);
  ssl_ = nullptr;
  return false;
}

std::string PanelClient::tlsSuite() const {
  if (ssl_ == nullptr) return std::string();
  return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}

bool PanelClient::connect(const std::string& host, int port, std::string* error, const std::string& source) {
  close();
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    if (error) *error = gai_strerror(rc);
    return false;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local;
  memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  const bool bad_source = !source.empty() && inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1;
  if (bad_source) errno = EINVAL;
  if (fd < 0 || bad_source ||
      (!source.empty() && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) ||
      ::connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
    if (error) *error = strerror(errno);
    if (fd >= 0) ::close(fd);
    freeaddrinfo(found);
    return false;
  }
  freeaddrinfo(found);
  fd_ = fd;
  buffer_.clear();
  // TLS writes its handshake flights and then the first frames as small records right after
  // each other: none may wait for the acknowledgement of the one before.
  const int on = 1;
  if (tls_) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (tls_ && !startTls(host, error)) {
    close();
    return false;
  }
  return true;
}

void PanelClient::close() {
  if (ssl_ != nullptr) {
    // The end of the TLS stream, unless sendLastFrame sent it already; never waits for the
    // agent's.
    if ((SSL_get_shutdown(ssl_) & SSL_SENT_SHUTDOWN) == 0) SSL_shutdown(ssl_);
    SSL_free(ssl_);
    ssl_ = nullptr;
    ERR_clear_error();
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string PanelClient::frame(const std::string& payload) {
  return std::to_string(payload.size()) + ":" + payload;
}

bool PanelClient::sendRaw(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const size_t left = bytes.size() - sent;
    ssize_t n = ssl_ != nullptr
                    ? SSL_write(ssl_, bytes.data() + sent, static_cast<int>(std::min<size_t>(left, INT_MAX)))
                    : ::send(fd_, bytes.data() + sent, left, MSG_NOSIGNAL);
    if (ssl_ != nullptr && n <= 0) return false;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool PanelClient::sendLastFrame(const std::string& payload) {
  // Corked, the frame waits for the end of the stream and leaves with it.
  const int on = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
  return sendFrame(payload) && (ssl_ == nullptr || SSL_shutdown(ssl_) >= 0) && ::shutdown(fd_, SHUT_WR) == 0;
}

long PanelClient::fill(int timeoutMs) {
  if (fd_ < 0) return 0;
  for (;;) {
    // Bytes TLS already holds (decrypted, or read ahead and not yet decrypted) are there
    // without waiting: the socket may have nothing more to say.
    if (timeoutMs >= 0 && (ssl_ == nullptr || SSL_has_pending(ssl_) == 0)) {
      pollfd p = {fd_, POLLIN, 0};
      int r = poll(&p, 1, timeoutMs);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return -1;
    }
    char buf[65536];
    if (ssl_ != nullptr) {
      const int n = SSL_read(ssl_, buf, sizeof buf);
      if (n > 0) {
        buffer_.append(buf, static_cast<size_t>(n));
        return n;
      }
      const int why = SSL_get_error(ssl_, n);
      ERR_clear_error();
      // The end of the stream, with or without TLS's message, or a reset: closed.
      return why == SSL_ERROR_ZERO_RETURN || (why == SSL_ERROR_SYSCALL && errno == ECONNRESET) ? 0 : -1;
    }
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    // An agent that closes with request bytes still unread ends the connection with a reset:
    // closed all the same.
    if (n < 0 && errno == ECONNRESET) return 0;
    if (n > 0) buffer_.append(buf, static_cast<size_t>(n));
    return static_cast<long>(n);
  }
}

static bool endsWithCrLf(const std::string& s) {
  return s.size() >= 2 && s[s.size() - 2] == '\r' && s[s.size() - 1] == '\n';
}

// Milliseconds left until `deadline`, never negative; -1 (wait for ever) without a time-out.
static int msLeft(std::chrono::steady_clock::time_point deadline, int timeoutMs) {
  if (timeoutMs < 0) return -1;
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool PanelClient::readReply(std::string& reply, int timeoutMs) {
  // A reply has no length: it ends with CR LF and the agent sends it in one go, so a buffer
  // ending in CR LF holds the whole reply.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!endsWithCrLf(buffer_)) {
    if (fill(msLeft(deadline, timeoutMs)) <= 0) {
      reply.swap(buffer_);
      buffer_.clear();
      return false;
    }
  }
  reply.assign(buffer_, 0, buffer_.size() - 2);
  buffer_.clear();
  return true;
}

std::string PanelClient::readUntilClose(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (fill(msLeft(deadline, timeoutMs)) > 0) {
  }
  std::string all;
  all.swap(buffer_);
  return all;
}

bool PanelClient::waitClosed(int timeoutMs, std::string* received) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  long n;
  while ((n = fill(msLeft(deadline, timeoutMs))) > 0) {
  }
  if (received) *received = buffer_;
  buffer_.clear();
  return n == 0;
}

bool PanelClient::drainUntilClose(int timeoutMs, unsigned long long& count, std::string& last, size_t keep) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  count = 0;
  last.clear();
  long n;
  do {
    count += buffer_.size();
    // Only the end of what came is kept: no copy of the whole stream.
    last.append(buffer_, buffer_.size() - std::min(buffer_.size(), keep), std::string::npos);
    if (last.size() > keep) last.erase(0, last.size() - keep);
    buffer_.clear();
  } while ((n = fill(msLeft(deadline, timeoutMs))) > 0);
  return n == 0;
}

bool PanelClient::request(const std::string& payload, std::string& reply, int timeoutMs) {
  if (!sendFrame(payload)) {
    reply.clear();
    return false;
  }
  return readReply(reply, timeoutMs);
}

// Sends `payload` and expects `expected` as the reply within `timeoutMs`.
static bool step(PanelClient& client, const std::string& payload, const char* expected, int timeoutMs,
                 std::string* failure) {
  std::string reply;
  if (client.request(payload, reply, timeoutMs) && reply == expected) return true;
  if (failure) *failure = reply;
  return false;
}

bool PanelClient::handshake(const std::string& sid, const std::string& pass, std::string* failure) {
  return step(*this, "SID " + sid, "Correct SID received", -1, failure) &&
         step(*this, "Passphrase " + pass, "Correct passphrase received", -1, failure);
}

bool PanelClient::openSession(const std::string& host, int port, const SessionSettingsToSend& settings,
                              std::string* failure, int timeoutMs, bool* refused) {
  std::string error;
  if (refused) *refused = false;
  if (!connect(host, port, &error)) {
    if (failure) *failure = "cannot connect to " + host + ":" + std::to_string(port) + ": " + error;
    return false;
  }
  const struct {
    std::string payload;
    const char* expected;
    bool send;
  } steps[] = {{"SID " + settings.sid, "Correct SID received", true},
               {"Passphrase " + settings.passphrase, "Correct passphrase received", true},
               {"cmd_user: " + settings.user, "User received", !settings.user.empty()},
               {"cmd_return: " + settings.expectreturn, "Return received", !settings.expectreturn.empty()},
               {"cmd_close: " + settings.closesocket, "Close received", !settings.closesocket.empty()}};
  for (const auto& s : steps) {
    std::string reply;
    if (!s.send || step(*this, s.payload, s.expected, timeoutMs, &reply)) continue;
    if (failure)
      *failure = "\"" + s.payload.substr(0, s.payload.find(' ')) + "\" was answered with \"" + reply +
                 "\" instead of \"" + s.expected + "\"" +
                 (reply.empty() ? " (closed or no reply in time)" : "");
    if (refused) *refused = true;
    close();
    return false;
  }
  return true;
}
