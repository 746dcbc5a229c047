// The one spawn primitive: the report of a child that could not go on, the reaping, and the
// two forms (work and exec) built on them.
#include "exec/Child.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>

#include "core/Log.h"
#include "exec/PeerWatch.h"

extern char** environ;

// The exec form's own ChildReport codes.
static const int kExecFailed = 100;
static const int kDup2Failed = 101;
static const int kJoinFailed = 102;

// Waits for `pid`, however long it takes; returns its wait status.
static int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Logs the failure a child reported; returns the matching status.
static ChildStatus logReport(const ChildReport& report) {
  if (report.code == kExecFailed || report.code == kDup2Failed) {
    Log_syserr(report.code == kExecFailed ? "execl()" : "dup2()", report.err);
    return ChildStatus::ExecFailed;
  }
  if (report.code == kJoinFailed) {
    Log_syserr("joining the service's control group", report.err);
    return ChildStatus::ExecFailed;
  }
  Log_failure("%s", ChangeIdMessage(report.code));
  return ChildStatus::SwitchFailed;
}

// ---- Work form ----

// The child of the work form; never returns.
[[noreturn]] static void workChild(int fd, bool root, const AccountContext& ctx,
                                   const std::function<void(WorkOutput&)>& work) {
  // Nothing of the agent's but the standard descriptors and the work pipe stays open here: a
  // slow piece of work must not hold another connection's socket.
  if (fd > 3) syscall(SYS_close_range, 3U, static_cast<unsigned>(fd - 1), 0U);
  syscall(SYS_close_range, static_cast<unsigned>(fd + 1), ~0U, 0U);
  PeerWatch::forgetInChild();  // its socket is closed here; the parent watches
  WorkOutput out(fd);
  if (!root) {
    const ChildReport report = {ChangeId(ctx), errno};
    if (report.code != kChangeIdOk) {
      out.fail(report);
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
  if (const Result piped = makePipe(readEnd, writeEnd); !piped) {
    Log_syserr("pipe()", piped.err());
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
  bool stopped = false;
  {
    // A refused reply stops the reading: the child's next write then fails and ends it.
    Reaper reaper{pid, readEnd, status};
    PeerWatch* watch = PeerWatch::current();
    char buf[65536];
    for (;;) {
      if (watch != nullptr && !waitReadable(readEnd.get(), watch)) {
        stopped = true;
        ::kill(pid, SIGKILL);
        break;
      }
      const ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
      if (n > 0) {
        if (!reader.feed(buf, static_cast<size_t>(n))) break;
      } else if (!(n < 0 && errno == EINTR)) {
        break;
      }
    }
  }
  if (stopped) {
    Log_warn("%s", kPeerGoneWarning);
    return ChildStatus::Stopped;
  }

  // The parent logs what the child could not, once, in order.
  for (const auto& [warning, text] : reader.lines) {
    if (warning)
      Log_warn("%s", text.c_str());
    else
      Log(text);
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
  int in;                   // the command's descriptor 0 (/dev/null or the input pipe), with `out`
  int out;                  // the command's descriptor 1, or -1 for no descriptors at all
  int report;               // write end of the report pipe (close-on-exec)
  sigset_t mask;            // the starting thread's signal mask, for the command
  const GroupEntry* group;  // null, or the control group the command runs in
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

  // A group of its own, so that a command whose panel went away is ended whole.
  syscall(SYS_setpgid, 0, 0);

  ChildReport report = {0, 0};
  if (plan.out >= 0) {
    // Both are above 2 (makePipe, commandInput), so dup2 places them without close-on-exec.
    if (dup2(plan.in, STDIN_FILENO) != STDIN_FILENO || dup2(plan.out, STDOUT_FILENO) != STDOUT_FILENO)
      report = {kDup2Failed, errno};
    syscall(SYS_close_range, 3U, ~0U, static_cast<unsigned>(CLOSE_RANGE_CLOEXEC));
  } else {
    syscall(SYS_close_range, 0U, ~0U, static_cast<unsigned>(CLOSE_RANGE_CLOEXEC));
  }
  // Into the group while still root: the account can never leave it.
  for (size_t i = 0; plan.group && report.code == 0 && i < plan.group->procs.size(); ++i)
    if (write(plan.group->procs[i], "0", 1) != 1) report = {kJoinFailed, errno};
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

// The command's descriptor 0, above descriptor 2 and close-on-exec: /dev/null for an empty
// `input`, otherwise a pipe that yields `input` and then its end. The bytes are written before
// any child exists, so they must fit into the pipe. A failure's text is what the log says.
static Result commandInput(const std::string& input, Fd& readEnd) {
  if (input.empty()) {
    readEnd.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (readEnd.get() < 0) return Result::Failure("open(/dev/null)", errno);
    const Result moved = aboveStandard(readEnd);
    return moved ? moved : Result::Failure("open(/dev/null)", moved.err());
  }
  const char* const failed = "pipe() for the command's input";
  if (input.size() > kMaxChildInput) return Result::Failure(failed, E2BIG);
  Fd writeEnd;
  if (const Result piped = makePipe(readEnd, writeEnd); !piped) return Result::Failure(failed, piped.err());
  // A full pipe must not block this thread: nothing reads it yet.
  if (fcntl(writeEnd.get(), F_SETFL, O_NONBLOCK) != 0) return Result::Failure(failed, errno);
  const Result written = writeAll(writeEnd.get(), input.data(), input.size());
  return written ? written : Result::Failure(failed, written.err());
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
#ifdef __SANITIZE_THREAD__
  // The thread sanitizer keeps each thread's state in memory that a child sharing it would
  // change as it runs (the starting thread's later locks then go unseen): that build copies.
  (void)stack;
  pid_t pid = fork();
  if (pid == 0) _exit(execChild(&plan));
#else
  pid_t pid = clone(execChild, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
#endif
  const int err = errno;
  pthread_sigmask(SIG_SETMASK, &plan.mask, nullptr);
  errno = err;
  return pid;
}

// How the exec child's report pipe is made. A child sharing this memory lets spawnShared return
// only once execve has passed its point of no return, or once it has written its report and
// ended: the pipe then holds all it will ever say, and an empty pipe means the command runs.
// Reading it without waiting spares this thread a second wake-up while execve goes on to close
// the descriptors (the pipe's end among them). A forked child (the thread sanitizer's build)
// runs on after fork returns: its report, or the end of the pipe at execve, is waited for.
#ifdef __SANITIZE_THREAD__
static const int kReportFlags = 0;
#else
static const int kReportFlags = O_NONBLOCK;
#endif

ChildStatus CommandChild::start(const std::string& user, const std::string& line, int out,
                                const std::string& input, const GroupEntry* group) {
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
  if (out >= 0) {
    if (const Result opened = commandInput(input, in); !opened) {
      Log_syserr(opened.text().c_str(), opened.err());
      return ChildStatus::StartFailed;
    }
  }
  if (const Result piped = makePipe(reportRead, reportWrite, kReportFlags); !piped) {
    Log_syserr("pipe()", piped.err());
    return ChildStatus::StartFailed;
  }
  ExecPlan plan = {root ? nullptr : &ctx,
                   argv,
                   root ? environ : ctx.envp.data(),
                   in.get(),
                   out,
                   reportWrite.get(),
                   sigset_t(),
                   group};
  const pid_t pid = spawnShared(plan);
  if (pid < 0) {
    Log_syserr("Error Fork() #2", errno);
    return ChildStatus::StartFailed;
  }
  pid_ = pid;
  reportWrite.reset();

  // The child has passed execve's point of no return or ended by now: this never waits for the
  // command (see kReportFlags).
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

void CommandChild::kill() {
  if (pid_ < 0) return;
  ::kill(-pid_, SIGKILL);
  wait();
}
