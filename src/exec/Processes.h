// What root learns about a host process from /proc, read by the agent itself: never from a
// name or a listing that an account controls. Used where root acts on an account's processes
// (signals, renice). Every function may run on any thread.
#ifndef KADREL_EXEC_PROCESSES_H
#define KADREL_EXEC_PROCESSES_H

#include <sys/types.h>

#include <string>
#include <vector>

struct ProcessFacts {
  pid_t ppid = 0;
  pid_t session = 0;  // the session id
  uid_t realUid = 0, effectiveUid = 0, savedUid = 0;
  unsigned long long startTicks = 0;  // when it started, in clock ticks since boot
  unsigned long long cpuTicks = 0;    // user and system time it used, in clock ticks
  long threads = 0;
  long rssPages = 0;  // resident memory, in pages
  bool zombie = false;
};

// The facts of process `pid`. False when there is no such process or /proc cannot be read.
bool processFacts(pid_t pid, ProcessFacts& facts);

// Now, in the clock ticks since boot that ProcessFacts::startTicks counts: a process started
// after this call has a startTicks no smaller than its result.
unsigned long long bootTicksNow();

// True when `pid` is a live process whose real, effective and saved user ids are all `uid`,
// and which descends from `ancestor` through such processes only (or is `ancestor`), where
// `ancestor` is such a process too that started no earlier than `startedSince` (bootTicksNow).
bool descendsWithinAccount(pid_t pid, pid_t ancestor, uid_t uid, unsigned long long startedSince);

// The live processes wholly the account's (every user id `uid`) that belong to `roots`: each
// root itself, every descendant of one, and every member of a session that one of them leads (a
// process whose parent went away still belongs to its session). A root that is not the
// account's is no member, and nothing is reached through it: pids taken from names the account
// controls (screen's socket names) are never trusted alone. Passing a previous answer as
// `roots` follows the same processes on. Neither the agent nor process 1 is ever a member.
std::vector<pid_t> sessionProcessTree(const std::vector<pid_t>& roots, uid_t uid);

// The live children of `parent` that are wholly the account's (every user id `uid`), lowest
// process id first.
std::vector<pid_t> childrenWithinAccount(pid_t parent, uid_t uid);

// The screen processes of the account's sessions named exactly `name`, from the names in its
// screen directory (/run/screen/S-<account>): never by connecting to the sockets there, which the
// account may have planted to block whoever connects. Each is a live process wholly the
// account's (every user id `uid`); a name whose process is gone (a dead session) is none.
std::vector<pid_t> screenSessions(const std::string& account, uid_t uid, const std::string& name);

#endif
