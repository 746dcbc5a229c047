// The panel's side of the wire.
#include "client/PanelClient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

PanelClient::~PanelClient() { close(); }

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
  return true;
}

void PanelClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string PanelClient::frame(const std::string& payload) {
  return std::to_string(payload.size()) + ":" + payload;
}

bool PanelClient::sendRaw(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
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
  return sendFrame(payload) && ::shutdown(fd_, SHUT_WR) == 0;
}

long PanelClient::fill(int timeoutMs) {
  if (fd_ < 0) return 0;
  for (;;) {
    if (timeoutMs >= 0) {
      pollfd p = {fd_, POLLIN, 0};
      int r = poll(&p, 1, timeoutMs);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return -1;
    }
    char buf[65536];
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
    last += buffer_;
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
