// The command runner.
#include "dispatch/CommandRunner.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "agent/Daemon.h"
#include "core/ErrorHandler.h"
#include "core/Settings.h"

extern char** environ;

namespace {

// What a child writes to its report pipe when it cannot run the command.
struct ChildReport {
  int code;  // a ChangeIdFailure, kExecFailed or kDup2Failed
  int err;   // errno of the failed call
};
const int kExecFailed = 100;
const int kDup2Failed = 101;

// Owns one descriptor.
class Fd {
 public:
  Fd() = default;
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

bool makePipe(Fd& readEnd, Fd& writeEnd) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return false;
  readEnd.reset(p[0]);
  writeEnd.reset(p[1]);
  return true;
}

// Waits for `pid`, however long it takes; the status is not used.
void reap(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Bytes that follow the output in a reply: the runner's "\n" and the session's CR LF.
const size_t kReplyTail = 3;

// Reads until end of file, in large blocks. Retries interrupted reads. The string always keeps
// room for the reply's tail, so that appending it never copies a large output once more.
void readAll(int fd, std::string* into) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      if (!into) continue;
      const size_t need = into->size() + static_cast<size_t>(n) + kReplyTail;
      if (need > into->capacity()) into->reserve(std::max(need, 2 * into->capacity()));
      into->append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

bool isRoot(const std::string& user) { return iequals(user, "root"); }

// Refuses a line that cannot reach bash whole.
bool lineRunnable(const std::string& line, const char* who) {
  if (line.size() > kMaxCommandLine) {
    Log_warn(
        "There was a problem with %s: the command line of %zu bytes is longer than %zu bytes; nothing was "
        "run",
        who, line.size(), kMaxCommandLine);
    return false;
  }
  if (line.find('\0') != std::string::npos) {
    Log_warn("There was a problem with %s: the command line holds a NUL byte; nothing was run", who);
    return false;
  }
  return true;
}

enum class Outcome { NotStarted, NeverRan, Ran };

// Forks the child that runs `line` as `user` and waits for it. With `output`, the child's
// descriptor 1 is a pipe whose contents are appended to *output (it keeps 0 and 2 too);
// without, the child keeps no descriptor at all.
Outcome runChild(const std::string& line, const std::string& user, std::string* output) {
  const bool root = isRoot(user);
  AccountContext ctx;
  if (!root && !LookupAccount(user, ctx)) {
    Log_failure("getpwnam_r()");
    return Outcome::NeverRan;
  }
  char* const argv[] = {const_cast<char*>("bash"), const_cast<char*>("-c"), const_cast<char*>(line.c_str()),
                        nullptr};
  char* const* envp = root ? environ : ctx.envp.data();

  Fd outRead, outWrite, reportRead, reportWrite;
  if ((output && !makePipe(outRead, outWrite)) || !makePipe(reportRead, reportWrite)) {
    perror("pipe()");
    return Outcome::NotStarted;
  }

  pid_t pid = fork();
  if (pid < 0) {
    perror("Error Fork() #2");
    return Outcome::NotStarted;
  }
  if (pid == 0) {
    // Child: async-signal-safe calls only.
    ChildReport report = {0, 0};
    if (output) {
      if (outWrite.get() == STDOUT_FILENO) {
        fcntl(STDOUT_FILENO, F_SETFD, 0);
      } else if (dup2(outWrite.get(), STDOUT_FILENO) != STDOUT_FILENO) {
        report = {kDup2Failed, errno};
      }
      syscall(SYS_close_range, 3U, ~0U, static_cast<unsigned>(CLOSE_RANGE_CLOEXEC));
    } else {
      syscall(SYS_close_range, 0U, ~0U, static_cast<unsigned>(CLOSE_RANGE_CLOEXEC));
    }
    if (report.code == 0 && !root) {
      report.code = ChangeId(ctx);
      report.err = errno;
    }
    if (report.code == 0) {
      execve("/bin/bash", argv, envp);
      report = {kExecFailed, errno};
    }
    ssize_t ignored = write(reportWrite.get(), &report, sizeof report);
    (void)ignored;
    _exit(report.code == kExecFailed ? 0 : 1);
  }

  reportWrite.reset();
  outWrite.reset();
  // However this function is left, stop reading before waiting, so that a child still
  // writing cannot block the wait.
  struct Reaper {
    pid_t pid;
    Fd& out;
    ~Reaper() {
      out.reset();
      reap(pid);
    }
  } reaper{pid, outRead};

  ChildReport report = {0, 0};
  ssize_t got;
  while ((got = ::read(reportRead.get(), &report, sizeof report)) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof report)) {
    if (report.code == kExecFailed || report.code == kDup2Failed) {
      fprintf(stderr, "%s: %s\n", report.code == kExecFailed ? "execl()" : "dup2()", strerror(report.err));
    } else {
      Log_failure("%s", ChangeIdMessage(report.code));
    }
    return Outcome::NeverRan;
  }
  if (output) readAll(outRead.get(), output);
  return Outcome::Ran;
}

}  // namespace

std::string returnExec(const std::string& cmddo1, const std::string& user) {
  if (!lineRunnable(cmddo1, "returnExec")) return std::string();
  std::string result;
  Outcome outcome;
  try {
    outcome = runChild(cmddo1, user, &result);
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with returnExec(returndata): ") + e.what()).c_str());
    return std::string();
  }
  if (outcome == Outcome::NotStarted) return std::string();
  try {
    result.push_back('\n');
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with returnExec: ") + e.what()).c_str());
    return std::string();
  }
  return result;
}

std::string noReturnExec(const std::string& cmddo1, const std::string& user) {
  if (!lineRunnable(cmddo1, "noReturnExec")) return std::string();
  try {
    runChild(cmddo1, user, nullptr);
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with noReturnExec: ") + e.what()).c_str());
  }
  return std::string();
}
