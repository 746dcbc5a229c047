// Becoming an account: the account looked up and its context prepared in the parent, then, in
// a freshly started child, the switch of groups and user ids and its read-back, which refuses
// a child that kept any part of root's identity. Everything that runs in the child is a raw
// system call, so it is safe in a child that shares the agent's memory.
#ifndef KADREL_EXEC_IDENTITY_H
#define KADREL_EXEC_IDENTITY_H

#include <sys/types.h>

#include <string>
#include <vector>

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
  kSetresgid = 1,
  kSetgroups = 2,
  kSetresuid = 3,
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

// The log text of a ChangeIdFailure code ("setresgid()", ...).
const char* ChangeIdMessage(int code);

// Test seam: makes the next switches leave one part of the identity unchanged, so that tests
// can see the verification refuse the child. Nothing in the agent sets it.
enum class SwitchFault { None, KeepGroup, KeepSupplementaryGroups, KeepSavedUser };
void setSwitchFaultForTesting(SwitchFault fault);

#endif
