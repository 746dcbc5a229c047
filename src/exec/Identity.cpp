// Account lookup, the identity switch and its verification.
#include "exec/Identity.h"

#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/Settings.h"

extern char** environ;

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
  if (fault != SwitchFault::KeepGroup && syscall(SYS_setresgid, gid, gid, gid) != 0) return kSetresgid;
  if (fault != SwitchFault::KeepSupplementaryGroups && syscall(SYS_setgroups, 1, &gid) != 0)
    return kSetgroups;
  const uid_t saved = fault == SwitchFault::KeepSavedUser ? static_cast<uid_t>(-1) : uid;
  if (syscall(SYS_setresuid, uid, uid, saved) != 0) return kSetresuid;
  const int verified = verifyIdentity(uid, gid);
  if (verified != kChangeIdOk) return verified;
  if (chdir(ctx.home.c_str()) != 0) return kChdir;
  return kChangeIdOk;
}

const char* ChangeIdMessage(int code) {
  switch (code) {
    case kSetresgid:
      return "setresgid()";
    case kSetgroups:
      return "setgroups()";
    case kSetresuid:
      return "setresuid()";
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
