// Socket operations, frame reading and the allow-list.
#include "sockets/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <vector>

#include "core/ErrorHandler.h"
#include "core/Settings.h"

// A length prefix longer than this cannot be a sensible decimal int.
static const size_t kMaxPrefix = 32;
// The reason logged for a length prefix that is not a decimal int (panel operators know it).
static const char kBadPrefix[] = "bad lexical cast: source type value could not be interpreted as target";

Socket::Socket() : m_sock(-1), ipdenied(false) { memset(&m_addr, 0, sizeof m_addr); }

Socket::~Socket() {
  if (is_valid()) ::close(m_sock);
}

void Socket::take_over(Socket& other) {
  m_sock = other.m_sock;
  m_addr = other.m_addr;
  ipdenied = other.ipdenied;
  m_framelimit = other.m_framelimit;
  m_hasdeadline = other.m_hasdeadline;
  m_deadline = other.m_deadline;
  other.m_sock = -1;
}

bool Socket::create() {
  m_sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (!is_valid()) return false;
  int on = 1;
  return setsockopt(m_sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != -1;
}

bool Socket::bind(int port) {
  if (!is_valid()) return false;
  memset(&m_addr, 0, sizeof m_addr);
  m_addr.sin_family = AF_INET;
  m_addr.sin_addr.s_addr = INADDR_ANY;
  m_addr.sin_port = htons(static_cast<uint16_t>(port));
  return ::bind(m_sock, reinterpret_cast<sockaddr*>(&m_addr), sizeof m_addr) != -1;
}

// The longest accept queue the system allows (the kernel caps every backlog at
// net.core.somaxconn): a panel opening many connections at once must not see attempts dropped,
// each of which would wait a second for its retransmission.
static int listenBacklog() {
  std::ifstream in("/proc/sys/net/core/somaxconn");
  long n = 0;
  if (in >> n && n > 0) return static_cast<int>(std::min<long>(n, INT_MAX));
  return SOMAXCONN;
}

bool Socket::listen() const {
  if (!is_valid()) return false;
  return ::listen(m_sock, listenBacklog()) != -1;
}

bool whitelistAllows(const std::string& list, const std::string& ip, std::string& logged) {
  logged.clear();
  if (list.empty()) return true;
  std::vector<std::string> entries;
  boost::algorithm::split(entries, list, boost::algorithm::is_any_of(";"));
  if (entries.empty() || entries[0].empty()) return true;
  for (const std::string& entry : entries) {
    if (entry == ip) {
      logged = "Allowed login from known ip";
      return true;
    }
  }
  logged = "Denied login from unknown ip";
  return false;
}

// A peer host that vanishes (power, network) without closing is noticed within about three
// minutes, even by a thread that only waits to read.
static void keepAlive(int fd) {
  const int on = 1, idle = 120, interval = 15, count = 4;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

bool Socket::accept(Socket& new_socket) const {
  sockaddr_in peer;
  socklen_t len = sizeof peer;
  memset(&peer, 0, sizeof peer);
  new_socket.m_sock = ::accept4(m_sock, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  if (new_socket.m_sock <= 0) {
    int err = errno;
    if (new_socket.m_sock == 0) ::close(0);
    new_socket.m_sock = -1;
    errno = err;
    return false;
  }
  new_socket.m_addr = peer;
  // A reply's last bytes follow its streamed output as a small write of their own: sent at
  // once, not held back until the peer acknowledges the output.
  int on = 1;
  setsockopt(new_socket.m_sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  keepAlive(new_socket.m_sock);
  char text[INET_ADDRSTRLEN] = {0};
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  std::string logged;
  new_socket.ipdenied = !whitelistAllows(settings().whitelist, text, logged);
  if (!logged.empty()) Log(logged);
  return true;
}

static bool setSendTimeout(int fd, std::chrono::milliseconds ms) {
  timeval tv;
  tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
  return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

bool Socket::set_stall_timeout(int seconds) {
  return setSendTimeout(m_sock, std::chrono::seconds(std::max(seconds, 0)));
}

bool Socket::send(const char* data, size_t size) const {
  size_t sent = 0;
  while (sent < size) {
    if (m_hasdeadline) {
      // A blocked write waits no longer than the deadline leaves (0 would mean for ever).
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline -
                                                                        std::chrono::steady_clock::now());
      if (left.count() <= 0 || !setSendTimeout(m_sock, left)) {
        errno = EAGAIN;
        return false;
      }
    }
    ssize_t n = ::send(m_sock, data + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Bytes asked of one splice call: more than a command's output pipe holds, so that one call
// takes whatever is there.
static const size_t kSpliceChunk = 4 << 20;
// Bytes of one copy: as much as a command's output pipe holds.
static const size_t kCopyBlock = 1 << 20;

// Reads `fd` to its end and drops what it reads.
static void dropRest(int fd, char* buf, unsigned long long& moved) {
  for (;;) {
    ssize_t n = ::read(fd, buf, kCopyBlock);
    if (n > 0) {
      moved += static_cast<unsigned long long>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      return;
    }
  }
}

// Copies `fd` to the socket in large blocks; false when the peer stopped taking them (the rest
// of `fd` is then dropped).
static bool copyRest(int fd, int sock, unsigned long long& moved) {
  std::unique_ptr<char[]> buf(new char[kCopyBlock]);
  for (;;) {
    ssize_t n = ::read(fd, buf.get(), kCopyBlock);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    moved += static_cast<unsigned long long>(n);
    for (ssize_t sent = 0; sent < n;) {
      ssize_t w = ::send(sock, buf.get() + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        const int err = errno;
        dropRest(fd, buf.get(), moved);
        errno = err;
        return false;
      }
      sent += w;
    }
  }
}

// Splices `fd` to the socket; copies instead when the kernel refuses splice here. False when
// the peer stopped taking bytes (the rest of `fd` is then dropped).
static bool spliceRest(int fd, int sock, unsigned long long& moved) {
  for (;;) {
    ssize_t n = splice(fd, nullptr, sock, nullptr, kSpliceChunk, SPLICE_F_MOVE);
    if (n > 0) {
      moved += static_cast<unsigned long long>(n);
      continue;
    }
    if (n == 0) return true;
    if (errno == EINTR) continue;
    if (errno == EINVAL || errno == ENOSYS) return copyRest(fd, sock, moved);
    const int err = errno;
    std::unique_ptr<char[]> buf(new char[kCopyBlock]);
    dropRest(fd, buf.get(), moved);
    errno = err;
    return false;
  }
}

bool Socket::send_from_pipe(int fd, unsigned long long& moved) const {
  // splice has no MSG_NOSIGNAL: a peer that is gone raises SIGPIPE for this thread, which is
  // blocked here and taken back before the mask is restored.
  sigset_t sigpipe, saved;
  sigemptyset(&sigpipe);
  sigaddset(&sigpipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &sigpipe, &saved);
  // To a peer on the loopback interface, splicing the pipe's pages was measured slower than
  // copying them in large blocks (the receiving side then copies from page-sized pieces).
  const bool loopback = (ntohl(m_addr.sin_addr.s_addr) >> 24) == 127;
  const bool delivered = loopback ? copyRest(fd, m_sock, moved) : spliceRest(fd, m_sock, moved);
  const int failure = delivered ? 0 : errno;
  if (!delivered && !sigismember(&saved, SIGPIPE)) {
    const timespec now = {0, 0};
    while (sigtimedwait(&sigpipe, nullptr, &now) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (!delivered && failure != 0) errno = failure;  // what stopped the sending, for the caller
  return delivered;
}

void Socket::set_deadline(std::chrono::steady_clock::time_point when) {
  m_deadline = when;
  m_hasdeadline = true;
}

// One receive call, after waiting for data no longer than the deadline allows.
long Socket::recv_some(char* buf, size_t len, int flags) const {
  for (;;) {
    if (m_hasdeadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline -
                                                                        std::chrono::steady_clock::now());
      if (left.count() <= 0) throw FrameError("time for the handshake ran out");
      pollfd p = {m_sock, POLLIN, 0};
      int r = poll(&p, 1, static_cast<int>(std::min<long long>(left.count() + 1, INT_MAX)));
      if (r < 0 && errno == EINTR) continue;
      if (r == 0) continue;  // re-checks the deadline
    }
    ssize_t n = ::recv(m_sock, buf, len, flags);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

static int reportRecvError() {
  std::cout << "status == -1   errno == " << errno << "  in Socket::recv\n" << std::flush;
  return 0;
}

// A prefix can only become a decimal int if it is an optional sign followed by digits.
static bool prefixMayBeNumber(const std::string& prefix) {
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = prefix[i];
    if (c >= '0' && c <= '9') continue;
    if (i == 0 && (c == '+' || c == '-')) continue;
    return false;
  }
  return prefix.size() <= kMaxPrefix;
}

int Socket::recv(std::string& s) const {
  s.clear();

  // The length prefix: peek, then consume exactly the prefix and its ":" so that no payload
  // byte is taken before its length is known.
  std::string prefix;
  for (;;) {
    char peek[kMaxPrefix + 2];
    long n = recv_some(peek, sizeof peek, MSG_PEEK);
    if (n < 0) return reportRecvError();
    if (n == 0) return 0;
    const char* colon = static_cast<const char*>(memchr(peek, ':', static_cast<size_t>(n)));
    size_t take = colon ? static_cast<size_t>(colon - peek) + 1 : static_cast<size_t>(n);
    long got = recv_some(peek, take, 0);
    if (got < 0) return reportRecvError();
    if (got == 0) return 0;
    bool complete = colon && static_cast<size_t>(got) == take;
    prefix.append(peek, complete ? take - 1 : static_cast<size_t>(got));
    if (!prefixMayBeNumber(prefix)) throw FrameError(kBadPrefix);
    if (complete) break;
  }

  // Whole-string decimal int: an optional sign, digits, a value that fits.
  int length = 0;
  const char* begin = prefix.data() + (prefix.size() > 1 && prefix[0] == '+' ? 1 : 0);
  const char* end = prefix.data() + prefix.size();
  const std::from_chars_result parsed = std::from_chars(begin, end, length);
  if (prefix.empty() || parsed.ec != std::errc() || parsed.ptr != end) throw FrameError(kBadPrefix);
  if (length < 0) throw FrameError("negative frame length " + prefix);
  if (length > m_framelimit)
    throw FrameError("frame of " + prefix + " bytes is over the limit of " + std::to_string(m_framelimit));

  // The payload, read straight into s, which grows as the bytes arrive rather than by the
  // declared length up front.
  const size_t want = static_cast<size_t>(length);
  size_t have = 0;
  long last = 1;
  while (have < want) {
    size_t chunk = std::min(want - have, static_cast<size_t>(MAXRECV));
    s.resize(have + chunk);
    last = recv_some(&s[have], chunk, 0);
    if (last <= 0) {
      s.resize(have);
      return last < 0 ? reportRecvError() : 0;
    }
    have += static_cast<size_t>(last);
  }
  s.resize(have);
  // Positive for a complete frame, even an empty one: the prefix and its ":" were read.
  return static_cast<int>(std::min<size_t>(prefix.size() + 1 + have, INT_MAX));
}

bool Socket::close_after_reply() {
  if (!is_valid()) return false;
  int unread = 0;
  if (ioctl(m_sock, FIONREAD, &unread) == 0 && unread > 0 && ::shutdown(m_sock, SHUT_WR) == 0) {
    // The peer sees the reply, then the end of the stream; most peers close then. Bounded in
    // time and bytes, so a peer that keeps sending cannot hold the thread.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    char sink[4096];
    size_t drained = 0;
    while (drained < (1u << 20)) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
              .count();
      if (left <= 0) break;
      pollfd p = {m_sock, POLLIN, 0};
      int r = poll(&p, 1, static_cast<int>(left));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      ssize_t n = ::recv(m_sock, sink, sizeof sink, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      drained += static_cast<size_t>(n);
    }
  }
  return close();
}

bool Socket::close() {
  if (!is_valid()) return false;
  int rc = ::close(m_sock);
  m_sock = -1;
  return rc == 0;
}
