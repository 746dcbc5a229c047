// Descriptor utilities shared by the child module and the handlers: one owner per descriptor,
// close-on-exec pipes kept off 0, 1 and 2, and whole reads and writes that survive
// interruption. Failures come back as a Result naming the system call, with its errno.
#ifndef KADREL_EXEC_DESCRIPTORS_H
#define KADREL_EXEC_DESCRIPTORS_H

#include <cstddef>
#include <functional>
#include <string>

#include "core/Result.h"

class PeerWatch;

// Owns one descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1);
  // Hands the descriptor to the caller; this object no longer owns one.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// Moves `fd` above descriptor 2 (close-on-exec) when it landed on a standard descriptor, so
// that placing it on 0, 1 or 2 in a child always takes a dup2.
Result aboveStandard(Fd& fd);

// A close-on-exec pipe whose ends are both above descriptor 2, so that placing one on 0, 1 or
// 2 in a child always takes a dup2; `flags` (O_NONBLOCK) apply to both ends.
Result makePipe(Fd& readEnd, Fd& writeEnd, int flags = 0);

// Writes all `n` bytes, retrying short and interrupted writes.
Result writeAll(int fd, const char* data, size_t n);

// Reads a small file whole into `into` (of /proc, /sys/fs/cgroup, or the agent's own), through
// no link at its last component when `noFollow`. False when it cannot be opened or read.
bool readSmallFile(const std::string& path, std::string& into, bool noFollow = false);

// Reads `fd` until its end of file or a read error, handing each block to `sink` as it comes;
// an interrupted read is retried. True then; false when `watch` (null: none) says first that
// the panel has gone (the rest stays unread).
bool readToEnd(int fd, const std::function<void(const char*, size_t)>& sink, PeerWatch* watch = nullptr);

#endif
