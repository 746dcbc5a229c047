// Listening and accepting.
#include "sockets/Listener.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>

#include "core/Log.h"
#include "sockets/AllowList.h"

// The longest accept queue the system allows (the kernel caps every backlog at
// net.core.somaxconn): a panel opening many connections at once must not see attempts dropped,
// each of which would wait a second for its retransmission.
static int listenBacklog() {
  std::ifstream in("/proc/sys/net/core/somaxconn");
  long n = 0;
  if (in >> n && n > 0) return static_cast<int>(std::min<long>(n, INT_MAX));
  return SOMAXCONN;
}

// Options every accepted connection inherits from the listening socket:
// - a reply's last bytes follow its streamed output as a small write of their own: sent at
//   once, not held back until the peer acknowledges the output (no Nagle);
// - a peer host that vanishes (power, network) without closing is noticed within about three
//   minutes, even by a thread that only waits to read (keep-alive);
// - a write that makes no progress fails after the stall time.
static void connectionOptions(int fd, int stallSeconds) {
  const int on = 1, idle = 120, interval = 15, count = 4;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  const timeval stall = {static_cast<time_t>(std::max(stallSeconds, 0)), 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
}

Result Listener::listen(int port, int stallSeconds) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ == -1) return Result::Failure("Could not create server socket.", errno);
  const char* failure = nullptr;
  int on = 1;
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = INADDR_ANY;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1)
    failure = "Could not create server socket.";
  else if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1)
    failure = "Could not bind to port.";
  else if (::listen(fd_, listenBacklog()) == -1)
    failure = "Could not listen to socket.";
  if (failure) {
    const int err = errno;
    ::close(fd_);
    fd_ = -1;
    return Result::Failure(failure, err);
  }
  connectionOptions(fd_, stallSeconds);
  return Result();
}

Listener::~Listener() {
  if (fd_ != -1) ::close(fd_);
}

void Listener::set_accept_timeout(int seconds) {
  const timeval wait = {static_cast<time_t>(std::max(seconds, 0)), 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  acceptTimeout_ = seconds > 0;
}

Result Listener::accept(const std::string& whitelist, Connection& into) const {
  sockaddr_in peer;
  socklen_t len = sizeof peer;
  memset(&peer, 0, sizeof peer);
  int fd;
  // A wait with a timeout is not resumed after a signal: it starts again.
  do {
    len = sizeof peer;
    fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  into.close();  // stays so unless a connection comes
  if (fd < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Result();  // the timeout
  if (fd <= 0) {
    const int err = errno;
    if (fd == 0) ::close(0);
    return Result::Failure("Could not accept socket.", err);
  }
  if (acceptTimeout_) {
    // The listener's wait came with the connection: its reads wait without end again.
    const timeval none = {0, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  }
  into = Connection(fd, peer);
  std::string logged;
  into.set_denied(!allowListAllows(whitelist, addressText(peer.sin_addr.s_addr), logged));
  if (!logged.empty()) Log(logged);
  return Result();
}
