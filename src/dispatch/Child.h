// The one way the agent starts a child: as an account (or as itself for "root" in any letter
// case), with the account looked up and everything the child needs prepared in the parent, the
// identity switch verified in the child, failures reported over a close-on-exec pipe and logged
// by the parent, and the child always reaped by the call that started it. Two forms share this:
// the exec form (bash -c LINE, for the command runner) and the work form (a piece of work done
// in a forked child, whose result comes back through a pipe). Safe to call from any thread.
#ifndef KADREL_DISPATCH_CHILD_H
#define KADREL_DISPATCH_CHILD_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

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

 private:
  int fd_ = -1;
};

// A close-on-exec pipe whose ends are both above descriptor 2, so that placing one on 0, 1 or
// 2 in a child always takes a dup2. False (errno set) when no pipe could be made.
bool makePipe(Fd& readEnd, Fd& writeEnd);

// Writes all `n` bytes, retrying short and interrupted writes. False (errno set by the failed
// write) otherwise. Raw system calls only: usable in a child that shares the parent's memory.
bool writeAll(int fd, const char* data, size_t n);

// Reads `fd` until its end of file or a read error, handing each block to `sink` as it comes;
// an interrupted read is retried.
void readToEnd(int fd, const std::function<void(const char*, size_t)>& sink);

// Everything a child needs to become an account, prepared before the child exists.
struct AccountContext {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;                   // "/home/" + name, not the home recorded for the account
  std::vector<std::string> envStore;  // the agent's environment with USER, LOGNAME, HOME replaced
  std::vector<char*> envp;            // pointers into envStore, null-terminated
};

// Looks the account up by name (getpwnam_r) and fills `ctx`. False when there is no such
// account (a name holding a NUL byte names none) or the lookup failed.
bool LookupAccount(const std::string& name, AccountContext& ctx);

// "root" in any letter case: the child keeps the agent's identity, directory and environment.
bool isRootUser(const std::string& user);

// Identity-change failure codes a child reports to its parent.
enum ChangeIdFailure {
  kChangeIdOk = 0,
  kSetregid = 1,
  kSetgroups = 2,
  kSetreuid = 3,
  kChdir = 4,
  kIdentityMismatch = 5,  // the ids read back after the switch are not all the account's
  kRootRegainable = 6,    // an account other than root could become uid 0 again
};

// In a freshly started child: primary group (real, effective, saved), that group alone as the
// supplementary list, user id (real, effective, saved), then the ids are read back and
// checked, then the working directory ctx.home. Raw system calls only, so it may run in a child
// that shares the parent's memory. Returns kChangeIdOk or the failure; the environment is
// applied by the caller (execve with ctx.envp, or environ in the work form).
int ChangeId(const AccountContext& ctx);

// The log text of a ChangeIdFailure code ("setregid()", ...).
const char* ChangeIdMessage(int code);

// Test seam: makes the next switches leave one part of the identity unchanged, so that tests
// can see the verification refuse the child. Nothing in the agent sets it.
enum class SwitchFault { None, KeepGroup, KeepSupplementaryGroups, KeepSavedUser };
void setSwitchFaultForTesting(SwitchFault fault);

enum class ChildStatus {
  Ran,           // the body ran to its end (work form) or bash was started (exec form)
  NoAccount,     // unknown account: "getpwnam_r()" logged at error level, no child started
  StartFailed,   // pipe or fork failed: "pipe()" / "Error Fork() #2" on standard error
  SwitchFailed,  // the identity switch failed or was not verified: logged at error level
  ExecFailed,    // exec form: bash could not be started ("execl()" / "dup2()" on standard error)
  Died,          // work form: the child ended before its work did (a warning is logged)
  Abandoned,     // work form: the reply's sink refused the reply; the child was ended
};

// What the work body hands back from the child. The child never logs itself (a lock held by
// another thread at fork time would hang it): the parent writes these lines once, after the
// child ended, in order.
class WorkOutput {
 public:
  explicit WorkOutput(int fd) : fd_(fd) {}
  WorkOutput(const WorkOutput&) = delete;
  WorkOutput& operator=(const WorkOutput&) = delete;

  void append(const char* data, size_t n);  // to the reply
  void append(const std::string& s) { append(s.data(), s.size()); }
  void log(const std::string& line);   // an ordinary log line (Log) the parent writes
  void warn(const std::string& text);  // a warning the parent logs with Log_warn("%s", ...)
  // Sends what is buffered; `done` marks the end of the work.
  void flush(bool done = false);

 private:
  void record(char type, const char* data, size_t n);
  int fd_;
  std::string buffered_;
};

// Work form: runs `work` in a forked child (a real fork: the work may allocate) as `user`
// ("root" in any letter case: no identity change, the agent's working directory; otherwise the
// verified switch, USER, LOGNAME, HOME set and the working directory /home/<user>). The child
// keeps only descriptors 0 to 2 of the agent's. Ran: `reply` holds exactly what the body
// appended. Otherwise `reply` is empty. The child is always reaped before returning.
ChildStatus runWorkAs(const std::string& user, const std::function<void(WorkOutput&)>& work,
                      std::string& reply);

// Takes the reply's bytes as they arrive; false refuses the rest of the reply.
typedef std::function<bool(const char* data, size_t n)> ReplySink;

// Work form with the reply handed to `sink` block by block as the child produces it, so that
// the agent holds no more than one block whatever the reply's size. A sink that refuses stops
// the reading; the child is ended by its next write and reaped (Abandoned). With any status
// but Ran the bytes already handed over are not the whole reply.
ChildStatus runWorkAs(const std::string& user, const std::function<void(WorkOutput&)>& work,
                      const ReplySink& sink);

// The most a command's standard input may be given (see CommandChild::start).
const size_t kMaxChildInput = 65536;

// Exec form: "/bin/bash -c line" as `user`, environment and directory as in the work form.
// With `out` >= 0 bash gets `out` as descriptor 1 and keeps the agent's 0 and 2; with `out`
// -1 it starts with no descriptors at all. Every other descriptor stays out of it.
class CommandChild {
 public:
  CommandChild() = default;
  ~CommandChild() { wait(); }
  CommandChild(const CommandChild&) = delete;
  CommandChild& operator=(const CommandChild&) = delete;

  // Returns once bash runs (Ran) or it is known that it never will (logged as listed above).
  // With `out` >= 0, a non-empty `input` is bash's descriptor 0 instead of /dev/null: a pipe
  // that holds exactly those bytes, then its end, so that a secret reaches a program without
  // being a word of any command line. It must fit into a pipe (kMaxChildInput bytes); a larger
  // one starts nothing (StartFailed).
  ChildStatus start(const std::string& user, const std::string& line, int out,
                    const std::string& input = std::string());
  // Waits for bash to end (its status goes to LastCommandStatus only); nothing when no child
  // runs.
  void wait();

 private:
  pid_t pid_ = -1;
};

// The wait status of the last command that ran on this thread since ResetLastCommandStatus,
// or -1 when none ran: what the audit trail reports of an instruction.
void ResetLastCommandStatus();
int LastCommandStatus();

#endif
