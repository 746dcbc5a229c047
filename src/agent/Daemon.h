// The process's place in the system: detaching into a daemon, and switching a freshly forked
// child to a Unix account. The account is looked up and the child's environment prepared in
// the parent (LookupAccount); the child then only makes async-signal-safe calls (ChangeId).
#ifndef KADREL_AGENT_DAEMON_H
#define KADREL_AGENT_DAEMON_H

#include <sys/types.h>

#include <string>
#include <vector>

// Detaches unless debug is "alwayson". The started process does not return: it waits until
// the daemon reports through DaemonReport, then exits 0 when the daemon listens, or writes
// "Error: " and the daemon's error to standard error and exits 1. The daemon returns with
// descriptors 0-2 on /dev/null, the system log open as `cmd`, and "debug.txt" open.
void Daemonize(const char* cmd);

// Called by the daemon once the listening socket exists (ok) or failed (ok false, `error`
// holding the socket error). Does nothing in the foreground or when already reported.
void DaemonReport(bool ok, const std::string& error);

// Everything a child needs to become an account, prepared before fork.
struct AccountContext {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;                   // "/home/" + name, not the home recorded for the account
  std::vector<std::string> envStore;  // the agent's environment with USER, LOGNAME, HOME replaced
  std::vector<char*> envp;            // pointers into envStore, null-terminated
};

// Looks the account up by name (getpwnam_r) and fills `ctx`. False when there is no such
// account or the lookup failed.
bool LookupAccount(const std::string& name, AccountContext& ctx);

// Identity-change failure codes a child reports to its parent.
enum ChangeIdFailure { kChangeIdOk = 0, kSetregid = 1, kSetgroups = 2, kSetreuid = 3, kChdir = 4 };

// In a freshly forked child: primary group, that group alone as the supplementary list, user
// id, then the working directory ctx.home. Async-signal-safe. Returns kChangeIdOk or the step
// that failed; the environment is applied by the caller's execve(ctx.envp).
int ChangeId(const AccountContext& ctx);

// The log text of a ChangeIdFailure code ("setregid()", ...).
const char* ChangeIdMessage(int code);

#endif
