// The one way the agent starts a child: as an account (or as itself for "root" in any letter
// case), with the account looked up and everything the child needs prepared in the parent, the
// identity switch verified in the child (exec/Identity.h), failures reported over a
// close-on-exec pipe and logged by the parent, and the child always reaped by the call that
// started it. Two forms share this:
// the exec form (bash -c LINE, for the command runner) and the work form (a piece of work done
// in a forked child, whose result comes back through a pipe). Safe to call from any thread.
#ifndef KADREL_EXEC_CHILD_H
#define KADREL_EXEC_CHILD_H

#include <sys/types.h>

#include <functional>
#include <string>

#include "exec/Descriptors.h"
#include "exec/Identity.h"
#include "exec/ServiceGroups.h"
#include "exec/WorkRecords.h"

enum class ChildStatus {
  Ran,           // the body ran to its end (work form) or bash was started (exec form)
  NoAccount,     // unknown account: "getpwnam_r()" logged at error level, no child started
  StartFailed,   // a pipe, the command's input or fork failed: "pipe()", "open(/dev/null)",
                 // "pipe() for the command's input" or "Error Fork() #2" logged with the errno
  SwitchFailed,  // the identity switch failed or was not verified: logged at error level
  ExecFailed,    // exec form: bash could not be started ("execl()" / "dup2()" logged with the errno)
  Died,          // work form: the child ended before its work did (a warning is logged)
  Abandoned,     // work form: the reply's sink refused the reply; the child was ended
  Stopped,       // work form: the panel went away first; the child was killed (a warning is logged)
};

// Work form: runs `work` in a forked child (a real fork: the work may allocate) as `user`
// ("root" in any letter case: no identity change, the agent's working directory; otherwise the
// verified switch, USER, LOGNAME, HOME set and the working directory /home/<user>). The child
// keeps only descriptors 0 to 2 of the agent's. Ran: `reply` holds exactly what the body
// appended. Otherwise `reply` is empty. When the current PeerWatch says that the panel has gone
// while the work runs, the child is killed (Stopped). The child is always reaped before returning.
ChildStatus runWorkAs(const std::string& user, const std::function<void(WorkOutput&)>& work,
                      std::string& reply);

// Work form with the reply handed to `sink` block by block as the child produces it, so that
// the agent holds no more than one block whatever the reply's size. A sink that refuses stops
// the reading; the child is ended by its next write and reaped (Abandoned). With any status
// but Ran the bytes already handed over are not the whole reply.
ChildStatus runWorkAs(const std::string& user, const std::function<void(WorkOutput&)>& work,
                      const ReplySink& sink);

// The most a command's standard input may be given (see CommandChild::start).
const size_t kMaxChildInput = 65536;

// Exec form: "/bin/bash -c line" as `user`, environment and directory as in the work form,
// leading a process group of its own. With `out` >= 0 bash gets `out` as descriptor 1 and keeps
// the agent's 0 and 2; with `out` -1 it starts with no descriptors at all. Every other
// descriptor stays out of it.
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
  // one starts nothing (StartFailed). With `group`, bash joins that control group before it
  // takes on the account's identity (ExecFailed, "joining the service's control group" logged,
  // when it cannot).
  ChildStatus start(const std::string& user, const std::string& line, int out,
                    const std::string& input = std::string(), const GroupEntry* group = nullptr);
  // Waits for bash to end (its status goes to LastCommandStatus only); nothing when no child
  // runs.
  void wait();
  // Kills bash and everything it started that stayed in its process group, then reaps bash.
  void kill();

 private:
  pid_t pid_ = -1;
};

// The wait status of the last command that ran on this thread since ResetLastCommandStatus,
// or -1 when none ran: what the audit trail reports of an instruction.
void ResetLastCommandStatus();
int LastCommandStatus();

#endif
