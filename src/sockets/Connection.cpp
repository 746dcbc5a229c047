// Reading, writing and closing one connection.
#include "sockets/Connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <utility>

#include "core/Log.h"

static const char kTimeUp[] = "time for the handshake ran out";

Connection::Connection(int fd, const sockaddr_in& peer) : fd_(fd), peer_(peer) {}

Connection::Connection(Connection&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      ssl_(std::exchange(other.ssl_, nullptr)),
      peer_(other.peer_),
      denied_(other.denied_),
      hasDeadline_(other.hasDeadline_),
      deadline_(other.deadline_),
      reader_(std::move(other.reader_)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    ssl_ = std::exchange(other.ssl_, nullptr);
    peer_ = other.peer_;
    denied_ = other.denied_;
    hasDeadline_ = other.hasDeadline_;
    deadline_ = other.deadline_;
    reader_ = std::move(other.reader_);
  }
  return *this;
}

Connection::~Connection() { close(); }

void Connection::set_deadline(std::chrono::steady_clock::time_point when) {
  deadline_ = when;
  hasDeadline_ = true;
}

bool Connection::waitReady(short events) const {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) return false;
    pollfd p = {fd_, events, 0};
    const int r = poll(&p, 1, static_cast<int>(std::min<long long>(left + 1, INT_MAX)));
    if (r > 0 || (r < 0 && errno != EINTR)) return true;  // a failure shows in the next call
  }
}

bool Connection::send(const char* data, size_t size) const {
  if (ssl_) return tlsSend(data, size);
  // With a deadline the writes do not block (the stall time does not apply then); waiting for
  // room is bounded by the deadline instead.
  const int flags = MSG_NOSIGNAL | (hasDeadline_ ? MSG_DONTWAIT : 0);
  size_t sent = 0;
  while (sent < size) {
    if (hasDeadline_ && std::chrono::steady_clock::now() >= deadline_) {
      errno = EAGAIN;
      return false;
    }
    const ssize_t n = ::send(fd_, data + sent, size - sent, flags);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
    } else if (hasDeadline_ && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitReady(POLLOUT)) {
        errno = EAGAIN;
        return false;
      }
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Bytes asked of one splice call: more than a command's output pipe holds, so that one call
// takes whatever is there.
static const size_t kSpliceChunk = 4 << 20;
// Bytes of one copy: as much as a command's output pipe holds.
static const size_t kCopyBlock = 1 << 20;
// The first block of a copy: from the thread's heap, no mapping of its own.
static const size_t kFirstCopyBlock = 64 << 10;

// Reads `fd` to its end into `buf` (`size` bytes) and drops what it reads.
static void dropRest(int fd, char* buf, size_t size, unsigned long long& moved) {
  for (;;) {
    ssize_t n = ::read(fd, buf, size);
    if (n > 0) {
      moved += static_cast<unsigned long long>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      return;
    }
  }
}

// Copies `fd` to the connection in large blocks; false when the peer stopped taking them (the
// rest of `fd` is then dropped).
static bool copyRest(int fd, const Connection& to, unsigned long long& moved) {
  // A small block first, the large one once a read fills it: most commands print little or
  // nothing, and a block of 1 MiB is a mapping made and unmade for every reply.
  size_t size = kFirstCopyBlock;
  std::unique_ptr<char[]> buf(new char[size]);
  for (;;) {
    ssize_t n = ::read(fd, buf.get(), size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    moved += static_cast<unsigned long long>(n);
    if (!to.send(buf.get(), static_cast<size_t>(n))) {
      const int err = errno;
      dropRest(fd, buf.get(), size, moved);
      errno = err;
      return false;
    }
    if (static_cast<size_t>(n) == size && size < kCopyBlock) buf.reset(new char[size = kCopyBlock]);
  }
}

// True when the pipe `fd` holds no byte (a splice that would block waits on it, not the socket).
static bool pipeEmpty(int fd) {
  int held = 0;
  return ioctl(fd, FIONREAD, &held) == 0 && held == 0;
}

// Splices `fd` to the socket; copies instead when the kernel refuses splice here. False when
// the peer stopped taking bytes (the rest of `fd` is then dropped).
static bool spliceRest(int fd, const Connection& to, unsigned long long& moved) {
  const int sock = to.fd();
  for (;;) {
    ssize_t n = splice(fd, nullptr, sock, nullptr, kSpliceChunk, SPLICE_F_MOVE);
    if (n > 0) {
      moved += static_cast<unsigned long long>(n);
      continue;
    }
    if (n == 0) return true;
    if (errno == EINTR) continue;
    if (errno == EAGAIN && pipeEmpty(fd)) return true;  // a non-blocking pipe: all there is for now
    if (errno == EINVAL || errno == ENOSYS) return copyRest(fd, to, moved);
    const int err = errno;
    std::unique_ptr<char[]> buf(new char[kCopyBlock]);
    dropRest(fd, buf.get(), kCopyBlock, moved);
    errno = err;
    return false;
  }
}

bool Connection::send_from_pipe(int fd, unsigned long long& moved) const {
  // splice has no MSG_NOSIGNAL: a peer that is gone raises SIGPIPE for this thread, which is
  // blocked here and taken back before the mask is restored.
  sigset_t sigpipe, saved;
  sigemptyset(&sigpipe);
  sigaddset(&sigpipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &sigpipe, &saved);
  // To a peer on the loopback interface, splicing the pipe's pages was measured slower than
  // copying them in large blocks (the receiving side then copies from page-sized pieces).
  // Under TLS every byte is encrypted on its way: copied, never spliced.
  const bool loopback = (ntohl(peer_.sin_addr.s_addr) >> 24) == 127;
  const bool delivered = loopback || ssl_ ? copyRest(fd, *this, moved) : spliceRest(fd, *this, moved);
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

long Connection::receive(char* buf, size_t len) {
  for (;;) {
    // The clock, not a system call, decides: a peer whose bytes are always there still meets
    // the deadline.
    if (hasDeadline_ && std::chrono::steady_clock::now() >= deadline_) throw FrameError(kTimeUp);
    if (ssl_) {
      const long got = tlsReceive(buf, len);
      if (got == kTlsWaited) continue;
      return got;
    }
    const ssize_t n = ::recv(fd_, buf, len, hasDeadline_ ? MSG_DONTWAIT : 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (!hasDeadline_ || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
    waitReady(POLLIN);  // the deadline is checked again above
  }
}

int Connection::recv(std::string& s) {
  s.clear();
  // Frames already held count against the deadline as well.
  if (hasDeadline_ && std::chrono::steady_clock::now() >= deadline_) throw FrameError(kTimeUp);
  while (!reader_.next(s)) {
    size_t room = 0;
    char* at = reader_.space(room);
    const long n = receive(at, room);
    if (n < 0) {
      Log("status == -1   errno == " + std::to_string(errno) + "  in Connection::recv");
      return 0;
    }
    if (n == 0) return 0;
    reader_.received(static_cast<size_t>(n));
  }
  return 1;
}

Result Connection::write(const std::string& s) const {
  if (!send(s)) return Result::Failure("Could not write to socket.", errno);
  return Result();
}

Result Connection::read(std::string& s) {
  int n;
  try {
    n = recv(s);
  } catch (const FrameError& e) {
    return Result::Failure(std::string("Could not read from socket ") + e.what());
  }
  if (n == 0) return Result::Failure("Could not read from socket.");
  return Result();
}

bool Connection::close_after_reply() {
  if (!is_valid()) return false;
  if (ssl_) tlsClose();  // the end of the TLS stream follows the reply
  int unread = 0;
  if (ioctl(fd_, FIONREAD, &unread) == 0 && unread > 0 && ::shutdown(fd_, SHUT_WR) == 0) {
    // The peer sees the reply, then the end of the stream; most peers close then. Bounded in
    // time and bytes, so a peer that keeps sending cannot hold the thread.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    size_t drained = 0;
    while (drained < (1u << 20)) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
              .count();
      if (left <= 0) break;
      pollfd p = {fd_, POLLIN, 0};
      int r = poll(&p, 1, static_cast<int>(left));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      // Dropped by the kernel, not copied (MSG_TRUNC on a stream socket): no buffer on the
      // stack, whose deepest page stays with the thread's later idle connections.
      ssize_t n = ::recv(fd_, nullptr, 1 << 16, MSG_DONTWAIT | MSG_TRUNC);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      drained += static_cast<size_t>(n);
    }
  }
  return close();
}

bool Connection::close() {
  if (ssl_) tlsClose();
  if (!is_valid()) return false;
  const int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0;
}
