// Descriptor ownership, pipes, whole reads and writes.
#include "exec/Descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "exec/PeerWatch.h"

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Result aboveStandard(Fd& fd) {
  if (fd.get() > STDERR_FILENO) return Result();
  int moved = fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return Result::Failure("fcntl()", errno);
  fd.reset(moved);
  return Result();
}

Result makePipe(Fd& readEnd, Fd& writeEnd, int flags) {
  int p[2];
  if (pipe2(p, O_CLOEXEC | flags) != 0) return Result::Failure("pipe()", errno);
  readEnd.reset(p[0]);
  writeEnd.reset(p[1]);
  Result moved = aboveStandard(readEnd);
  return moved ? aboveStandard(writeEnd) : moved;
}

bool readSmallFile(const std::string& path, std::string& into, bool noFollow) {
  const Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0)));
  if (fd.get() < 0) return false;
  char buf[4096];
  ssize_t n;
  into.clear();
  while ((n = read(fd.get(), buf, sizeof buf)) > 0) into.append(buf, static_cast<size_t>(n));
  return n == 0;
}

bool readToEnd(int fd, const std::function<void(const char*, size_t)>& sink, PeerWatch* watch) {
  char buf[65536];
  for (;;) {
    if (watch != nullptr && !waitReadable(fd, watch)) return false;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      sink(buf, static_cast<size_t>(n));
    } else if (!(n < 0 && errno == EINTR)) {
      return true;
    }
  }
}

Result writeAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return Result::Failure("write()", errno);
    if (w == 0) return Result::Failure("write()", EIO);
    data += w;
    n -= static_cast<size_t>(w);
  }
  return Result();
}
