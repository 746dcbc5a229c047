// Account preparation, the verified identity switch, the report pipe and the reaping, shared by
// the exec form and the work form.
#include "dispatch/Child.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>

#include "core/ErrorHandler.h"
#include "core/Settings.h"

extern char** environ;

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

// Moves `fd` above descriptor 2 (close-on-exec) when it landed on a standard descriptor.
static bool aboveStandard(Fd& fd) {
  if (fd.get() > STDERR_FILENO) return true;
  int moved = fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return false;
  fd.reset(moved);
  return true;
}

bool makePipe(Fd& readEnd, Fd& writeEnd) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return false;
  readEnd.reset(p[0]);
  writeEnd.reset(p[1]);
  return aboveStandard(readEnd) && aboveStandard(writeEnd);
}

void readToEnd(int fd, const std::function<void(const char*, size_t)>& sink) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      sink(buf, static_cast<size_t>(n));
    } else if (!(n < 0 && errno == EINTR)) {
      return;
    }
  }
}

bool isRootUser(const std::string& user) { return iequals(user, "root"); }

bool LookupAccount(const std::string& name, AccountContext& ctx) {
  // The C library reads only up to a NUL: "alice\0junk" must not become alice.
  if (name.find('\0') != std::string::npos) return false;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size <= 0) size = 16384;
  std::vector<char> buf(static_cast<size_t>(size));
  struct passwd pwd;
  struct passwd* result = nullptr;
  int rc;
  while ((rc = getpwnam_r(name.c_str(), &pwd, buf.data(), buf.size(), &result)) == ERANGE &&
         buf.size() < (1u << 24)) {
    buf.resize(buf.size() * 2);
  }
  if (rc != 0 || result == nullptr) return false;

  ctx.name = name;
  ctx.uid = pwd.pw_uid;
  ctx.gid = pwd.pw_gid;
  ctx.home = "/home/" + name;
  ctx.envStore.clear();
  for (char** e = environ; e && *e; ++e) {
    if (strncmp(*e, "USER=", 5) == 0 || strncmp(*e, "LOGNAME=", 8) == 0 || strncmp(*e, "HOME=", 5) == 0)
      continue;
    ctx.envStore.emplace_back(*e);
  }
  ctx.envStore.push_back("USER=" + name);
  ctx.envStore.push_back("LOGNAME=" + name);
  ctx.envStore.push_back("HOME=" + ctx.home);
  ctx.envp.clear();
  for (std::string& s : ctx.envStore) ctx.envp.push_back(&s[0]);
  ctx.envp.push_back(nullptr);
  return true;
}

static std::atomic<int> switch_fault{static_cast<int>(SwitchFault::None)};

void setSwitchFaultForTesting(SwitchFault fault) { switch_fault.store(static_cast<int>(fault)); }

// Reads the identity back: every user id and group id must be the account's, the account's
// group the only supplementary one, and uid 0 out of reach for an account that is not root.
static int verifyIdentity(uid_t uid, gid_t gid) {
  if (uid != 0 && syscall(SYS_setresuid, -1, 0, -1) == 0) return kRootRegainable;
  uid_t ru, eu, su;
  gid_t rg, eg, sg;
  gid_t groups[2];
  if (syscall(SYS_getresuid, &ru, &eu, &su) != 0 || syscall(SYS_getresgid, &rg, &eg, &sg) != 0)
    return kIdentityMismatch;
  const long ngroups = syscall(SYS_getgroups, 2, groups);
  if (ru != uid || eu != uid || su != uid || rg != gid || eg != gid || sg != gid || ngroups != 1 ||
      groups[0] != gid)
    return kIdentityMismatch;
  return kChangeIdOk;
}

// glibc's setresuid and friends signal every thread of the process to change them all; these
// act on the calling child alone, which is what a child sharing its parent's memory needs.
int ChangeId(const AccountContext& ctx) {
  const SwitchFault fault = static_cast<SwitchFault>(switch_fault.load(std::memory_order_relaxed));
  const gid_t gid = ctx.gid;
  const uid_t uid = ctx.uid;
  if (fault != SwitchFault::KeepGroup && syscall(SYS_setresgid, gid, gid, gid) != 0) return kSetregid;
  if (fault != SwitchFault::KeepSupplementaryGroups && syscall(SYS_setgroups, 1, &gid) != 0)
    return kSetgroups;
  const uid_t saved = fault == SwitchFault::KeepSavedUser ? static_cast<uid_t>(-1) : uid;
  if (syscall(SYS_setresuid, uid, uid, saved) != 0) return kSetreuid;
  const int verified = verifyIdentity(uid, gid);
  if (verified != kChangeIdOk) return verified;
  if (chdir(ctx.home.c_str()) != 0) return kChdir;
  return kChangeIdOk;
}

const char* ChangeIdMessage(int code) {
  switch (code) {
    case kSetregid:
      return "setregid()";
    case kSetgroups:
      return "setgroups()";
    case kSetreuid:
      return "setreuid()";
    case kChdir:
      return "chdir()";
    case kIdentityMismatch:
      return "There was a problem with ChangeId: the ids read back after the switch are not the account's";
    case kRootRegainable:
      return "There was a problem with ChangeId: the account could become root again";
    default:
      return "ChangeId()";
  }
}

// What a child writes to its report pipe when it cannot go on.
struct ChildReport {
  int code;  // a ChangeIdFailure, kExecFailed or kDup2Failed
  int err;   // errno of the failed call
};
static const int kExecFailed = 100;
static const int kDup2Failed = 101;

// Waits for `pid`, however long it takes; returns its wait status.
static int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

bool writeAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Logs the failure a child reported; returns the matching status.
static ChildStatus logReport(const ChildReport& report) {
  if (report.code == kExecFailed || report.code == kDup2Failed) {
    Log_syserr(report.code == kExecFailed ? "execl()" : "dup2()", report.err);
    return ChildStatus::ExecFailed;
  }
  Log_failure("%s", ChangeIdMessage(report.code));
  return ChildStatus::SwitchFailed;
}

// ---- Work form ----

// Records on the work pipe: one type byte, the payload length (4 bytes), the payload.
static const char kReplyRecord = 'R', kLogRecord = 'L', kWarnRecord = 'W', kFailRecord = 'F',
                  kDoneRecord = 'D';
static const size_t kRecordHeader = 5;
static const size_t kFlushAt = 65536;

void WorkOutput::record(char type, const char* data, size_t n) {
  do {
    const uint32_t len = static_cast<uint32_t>(std::min<size_t>(n, UINT32_MAX));
    buffered_.push_back(type);
    buffered_.append(reinterpret_cast<const char*>(&len), sizeof len);
    buffered_.append(data, len);
    data += len;
    n -= len;
    if (buffered_.size() >= kFlushAt) flush();
  } while (n > 0);
}

void WorkOutput::append(const char* data, size_t n) {
  if (n > 0) record(kReplyRecord, data, n);
}
void WorkOutput::log(const std::string& line) { record(kLogRecord, line.data(), line.size()); }
void WorkOutput::warn(const std::string& text) { record(kWarnRecord, text.data(), text.size()); }

void WorkOutput::flush(bool done) {
  if (done) record(kDoneRecord, "", 0);
  // A parent that stopped reading ends this child through SIGPIPE or the failed write.
  if (!writeAll(fd_, buffered_.data(), buffered_.size())) _exit(1);
  buffered_.clear();
}

// Reads the work pipe's records as they arrive, without holding more than one block: the
// reply's bytes go to the sink as they come.
class WorkReader {
 public:
  explicit WorkReader(const ReplySink& sink) : sink_(sink) {}

  // False once the sink refused the reply: nothing more is read.
  bool feed(const char* p, size_t n) {
    while (n > 0 && !refused) {
      if (header_.size() < kRecordHeader) {
        const size_t take = std::min(n, kRecordHeader - header_.size());
        header_.append(p, take);
        p += take;
        n -= take;
        if (header_.size() < kRecordHeader) return true;
        uint32_t len;
        memcpy(&len, header_.data() + 1, sizeof len);
        left_ = len;
        text_.clear();
        if (left_ == 0) finishRecord();
        continue;
      }
      const size_t take = std::min(n, left_);
      if (header_[0] == kReplyRecord)
        refused = !sink_(p, take);
      else
        text_.append(p, take);
      p += take;
      n -= take;
      left_ -= take;
      if (left_ == 0) finishRecord();
    }
    return !refused;
  }

  bool done = false;
  bool refused = false;
  bool failed = false;
  ChildReport report = {0, 0};
  std::vector<std::pair<char, std::string>> lines;  // log lines and warnings, in order

 private:
  void finishRecord() {
    const char type = header_[0];
    if (type == kLogRecord || type == kWarnRecord) {
      lines.emplace_back(type, std::move(text_));
    } else if (type == kDoneRecord) {
      done = true;
    } else if (type == kFailRecord && text_.size() == sizeof report) {
      failed = true;
      memcpy(&report, text_.data(), sizeof report);
    }
    text_.clear();
    header_.clear();
  }

  const ReplySink& sink_;
  std::string header_, text_;
  size_t left_ = 0;
};

// The child of the work form; never returns.
[[noreturn]] static void workChild(int fd, bool root, const AccountContext& ctx,
                                   const std::function<void(WorkOutput&)>& work) {
  // Nothing of the agent's but the standard descriptors and the work pipe stays open here: a
  // slow piece of work must not hold another connection's socket.
  if (fd > 3) syscall(SYS_close_range, 3U, static_cast<unsigned>(fd - 1), 0U);
  syscall(SYS_close_range, static_cast<unsigned>(fd + 1), ~0U, 0U);
  WorkOutput out(fd);
  if (!root) {
    ChildReport report = {ChangeId(ctx), errno};
    if (report.code != kChangeIdOk) {
      std::string failure(1, kFailRecord);
      const uint32_t len = sizeof report;
      failure.append(reinterpret_cast<const char*>(&len), sizeof len);
      failure.append(reinterpret_cast<const char*>(&report), sizeof report);
      writeAll(fd, failure.data(), failure.size());
      _exit(1);
    }
    environ = const_cast<char**>(ctx.envp.data());
  }
  try {
    work(out);
    out.flush(true);
  } catch (const std::exception& e) {
    out.warn(std::string("There was a problem with the child's work: ") + e.what());
    out.flush();
    _exit(1);
  } catch (...) {
    out.warn("There was a problem with the child's work: an unknown exception");
    out.flush();
    _exit(1);
  }
  _exit(0);
}

ChildStatus runWorkAs(const std::string& user, const std::function<void(WorkOutput&)>& work,
                      std::string& reply) {
  reply.clear();
  const ChildStatus status = runWorkAs(user, work, [&](const char* data, size_t n) {
    reply.append(data, n);
    return true;
  });
  if (status != ChildStatus::Ran) reply.clear();
  return status;
}

ChildStatus runWorkAs(const std::string& user, const std::function<void(WorkOutput&)>& work,
                      const ReplySink& sink) {
  const bool root = isRootUser(user);
  AccountContext ctx;
  if (!root && !LookupAccount(user, ctx)) {
    Log_failure("getpwnam_r()");
    return ChildStatus::NoAccount;
  }
  Fd readEnd, writeEnd;
  if (!makePipe(readEnd, writeEnd)) {
    Log_syserr("pipe()", errno);
    return ChildStatus::StartFailed;
  }
  pid_t pid = fork();
  if (pid < 0) {
    Log_syserr("Error Fork() #2", errno);
    return ChildStatus::StartFailed;
  }
  if (pid == 0) workChild(writeEnd.get(), root, ctx, work);
  writeEnd.reset();

  // However this is left, stop reading before waiting, so that a child still writing cannot
  // block the wait.
  int status = 0;
  struct Reaper {
    pid_t pid;
    Fd& in;
    int& status;
    ~Reaper() {
      in.reset();
      status = reap(pid);
    }
  };
  WorkReader reader(sink);
  {
    // A refused reply stops the reading: the child's next write then fails and ends it.
    Reaper reaper{pid, readEnd, status};
    char buf[65536];
    for (;;) {
      const ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
      if (n > 0) {
        if (!reader.feed(buf, static_cast<size_t>(n))) break;
      } else if (!(n < 0 && errno == EINTR)) {
        break;
      }
    }
  }

  // The parent logs what the child could not, once, in order.
  for (const auto& line : reader.lines) {
    if (line.first == kLogRecord)
      Log(line.second);
    else
      Log_warn("%s", line.second.c_str());
  }
  if (reader.failed) return logReport(reader.report);
  if (reader.refused) return ChildStatus::Abandoned;
  if (!reader.done) {
    if (WIFSIGNALED(status))
      Log_warn("There was a problem with the child's work: it was ended by signal %d", WTERMSIG(status));
    else
      Log_warn("There was a problem with the child's work: it ended with status %d before its work did",
               WEXITSTATUS(status));
    return ChildStatus::Died;
  }
  return ChildStatus::Ran;
}

// ---- Exec form ----

// Everything the exec child needs, prepared by the parent.
struct ExecPlan {
  const AccountContext* ctx;  // null: run as the agent itself
  char* const* argv;
  char* const* envp;
  int in;         // the command's descriptor 0 (/dev/null or the input pipe), with `out`
  int out;        // the command's descriptor 1, or -1 for no descriptors at all
  int report;     // write end of the report pipe (close-on-exec)
  sigset_t mask;  // the starting thread's signal mask, for the command
};

// The kernel's sigaction on this architecture, for the raw call the exec child makes.
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  uint64_t mask;
};

// The exec child. It shares the agent's memory until execve, so: raw system calls only, no
// allocation, no locks, nothing that touches another thread's state (see ChangeId).
__attribute__((no_sanitize("address", "thread", "undefined"))) static int execChild(void* arg) {
  const ExecPlan& plan = *static_cast<const ExecPlan*>(arg);
  // A signal arriving before execve must not run one of the agent's handlers here: handlers go
  // back to the default (ignored signals stay ignored, as exec would leave them), then the
  // starting thread's mask is restored.
  for (int sig = 1; sig < _NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    KernelSigaction old;
    if (syscall(SYS_rt_sigaction, sig, nullptr, &old, _NSIG / 8) != 0) continue;
    if (old.handler == SIG_DFL || old.handler == SIG_IGN) continue;
    KernelSigaction dfl = {SIG_DFL, 0, nullptr, 0};
    syscall(SYS_rt_sigaction, sig, &dfl, nullptr, _NSIG / 8);
  }
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &plan.mask, nullptr, _NSIG / 8);

  ChildReport report = {0, 0};
  if (plan.out >= 0) {
    // Both are above 2 (makePipe, openDevNull), so dup2 places them without close-on-exec.
    if (dup2(plan.in, STDIN_FILENO) != STDIN_FILENO || dup2(plan.out, STDOUT_FILENO) != STDOUT_FILENO)
      report = {kDup2Failed, errno};
    syscall(SYS_close_range, 3U, ~0U, static_cast<unsigned>(CLOSE_RANGE_CLOEXEC));
  } else {
    syscall(SYS_close_range, 0U, ~0U, static_cast<unsigned>(CLOSE_RANGE_CLOEXEC));
  }
  if (report.code == 0 && plan.ctx) {
    report.code = ChangeId(*plan.ctx);
    report.err = errno;
  }
  if (report.code == 0) {
    execve("/bin/bash", plan.argv, plan.envp);
    report = {kExecFailed, errno};
  }
  ssize_t ignored = write(plan.report, &report, sizeof report);
  (void)ignored;
  _exit(report.code == kExecFailed ? 0 : 1);
}

// /dev/null for reading, above descriptor 2, close-on-exec.
static bool openDevNull(Fd& fd) {
  fd.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
  return fd.get() >= 0 && aboveStandard(fd);
}

// A pipe whose read end, above descriptor 2 and close-on-exec, yields `input` and then its
// end. The bytes are written before any child exists, so they must fit into the pipe.
static bool inputPipe(const std::string& input, Fd& readEnd) {
  Fd writeEnd;
  if (input.size() > kMaxChildInput) {
    errno = E2BIG;
    return false;
  }
  if (!makePipe(readEnd, writeEnd)) return false;
  // A full pipe must not block this thread: nothing reads it yet.
  return fcntl(writeEnd.get(), F_SETFL, O_NONBLOCK) == 0 &&
         writeAll(writeEnd.get(), input.data(), input.size());
}

// Starts the exec child sharing this process's memory, and returns once it has called execve
// or ended: the agent's page tables are never copied, so starting a command costs the same
// whatever the agent's size. All signals stay blocked in this thread meanwhile, so that none
// is handled on the child's stack.
static pid_t spawnShared(ExecPlan& plan) {
  // Room for the child's few frames; it lies in this frame, which stays put until the child
  // has left it.
  alignas(64) char stack[65536];
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &plan.mask);
  pid_t pid = clone(execChild, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
  const int err = errno;
  pthread_sigmask(SIG_SETMASK, &plan.mask, nullptr);
  errno = err;
  return pid;
}

ChildStatus CommandChild::start(const std::string& user, const std::string& line, int out,
                                const std::string& input) {
  wait();
  const bool root = isRootUser(user);
  AccountContext ctx;
  if (!root && !LookupAccount(user, ctx)) {
    Log_failure("getpwnam_r()");
    return ChildStatus::NoAccount;
  }
  char* const argv[] = {const_cast<char*>("bash"), const_cast<char*>("-c"), const_cast<char*>(line.c_str()),
                        nullptr};
  Fd in, reportRead, reportWrite;
  if (out >= 0 && !input.empty() && !inputPipe(input, in)) {
    Log_syserr("pipe() for the command's input", errno);
    return ChildStatus::StartFailed;
  }
  if (out >= 0 && input.empty() && !openDevNull(in)) {
    Log_syserr("open(/dev/null)", errno);
    return ChildStatus::StartFailed;
  }
  if (!makePipe(reportRead, reportWrite)) {
    Log_syserr("pipe()", errno);
    return ChildStatus::StartFailed;
  }
  ExecPlan plan = {root ? nullptr : &ctx, argv,      root ? environ : ctx.envp.data(), in.get(), out,
                   reportWrite.get(),     sigset_t()};
  const pid_t pid = spawnShared(plan);
  if (pid < 0) {
    Log_syserr("Error Fork() #2", errno);
    return ChildStatus::StartFailed;
  }
  pid_ = pid;
  reportWrite.reset();

  // The child has called execve or ended by now: this never waits for the command.
  ChildReport report = {0, 0};
  ssize_t got;
  while ((got = ::read(reportRead.get(), &report, sizeof report)) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof report)) {
    reap(pid_);  // the command never ran: no status of its own
    pid_ = -1;
    return logReport(report);
  }
  return ChildStatus::Ran;
}

static thread_local int last_command_status = -1;

void ResetLastCommandStatus() { last_command_status = -1; }
int LastCommandStatus() { return last_command_status; }

void CommandChild::wait() {
  if (pid_ < 0) return;
  last_command_status = reap(pid_);
  pid_ = -1;
}
