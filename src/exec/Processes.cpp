// /proc readings.
#include "exec/Processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "exec/Descriptors.h"

bool processFacts(pid_t pid, ProcessFacts& facts) {
  const std::string dir = "/proc/" + std::to_string(pid);
  std::string stat, status;
  if (!readSmallFile(dir + "/stat", stat) || !readSmallFile(dir + "/status", status)) return false;
  // The command name in parentheses may hold anything, ")" included: the fields follow the
  // last ")".
  const size_t close = stat.rfind(')');
  char state;
  int ppid, session;
  unsigned long long start, utime, stime;
  long threads, rss;
  if (close == std::string::npos ||
      sscanf(stat.c_str() + close + 1,
             " %c %d %*d %d %*d %*d %*u %*u %*u %*u %*u %llu %llu %*d %*d %*d %*d %ld %*d %llu %*u %ld",
             &state, &ppid, &session, &utime, &stime, &threads, &start, &rss) != 8)
    return false;
  const size_t ids = status.find("\nUid:");
  unsigned long real, effective, saved;
  if (ids == std::string::npos ||
      sscanf(status.c_str() + ids + 5, "%lu %lu %lu", &real, &effective, &saved) != 3)
    return false;
  facts.ppid = ppid;
  facts.session = session;
  facts.realUid = static_cast<uid_t>(real);
  facts.effectiveUid = static_cast<uid_t>(effective);
  facts.savedUid = static_cast<uid_t>(saved);
  facts.startTicks = start;
  facts.cpuTicks = utime + stime;
  facts.threads = threads;
  facts.rssPages = rss;
  facts.zombie = state == 'Z' || state == 'X';
  return true;
}

unsigned long long bootTicksNow() {
  struct timespec now;
  clock_gettime(CLOCK_BOOTTIME, &now);
  const unsigned long long perSecond = static_cast<unsigned long long>(sysconf(_SC_CLK_TCK));
  return static_cast<unsigned long long>(now.tv_sec) * perSecond +
         static_cast<unsigned long long>(now.tv_nsec) * perSecond / 1000000000ULL;
}

// A live process of `uid` alone: every user id its.
static bool wholly(const ProcessFacts& facts, uid_t uid) {
  return !facts.zombie && facts.realUid == uid && facts.effectiveUid == uid && facts.savedUid == uid;
}

bool descendsWithinAccount(pid_t pid, pid_t ancestor, uid_t uid, unsigned long long startedSince) {
  ProcessFacts facts;
  if (!processFacts(ancestor, facts) || !wholly(facts, uid) || facts.startTicks < startedSince) return false;
  // A chain of parents ends at pid 1 (or 0); the bound only guards against a cycle that a
  // pid reused during the walk could make.
  for (int depth = 0; depth < 4096 && pid > 1; ++depth) {
    if (!processFacts(pid, facts) || !wholly(facts, uid)) return false;
    if (pid == ancestor) return true;
    pid = facts.ppid;
  }
  return false;
}

// Every live process wholly the account's but the agent and process 1.
static std::map<pid_t, ProcessFacts> accountProcesses(uid_t uid) {
  std::map<pid_t, ProcessFacts> all;
  if (DIR* proc = opendir("/proc")) {
    while (const struct dirent* entry = readdir(proc)) {
      char* end = nullptr;
      const long pid = strtol(entry->d_name, &end, 10);
      ProcessFacts facts;
      if (pid > 1 && *end == '\0' && pid != getpid() && processFacts(static_cast<pid_t>(pid), facts) &&
          wholly(facts, uid))
        all[static_cast<pid_t>(pid)] = facts;
    }
    closedir(proc);
  }
  return all;
}

std::vector<pid_t> childrenWithinAccount(pid_t parent, uid_t uid) {
  std::vector<pid_t> children;
  for (const auto& p : accountProcesses(uid))
    if (p.second.ppid == parent) children.push_back(p.first);
  return children;
}

std::vector<pid_t> screenSessions(const std::string& account, uid_t uid, const std::string& name) {
  std::vector<pid_t> pids;
  const Fd screens(open("/run/screen", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (screens.get() < 0) return pids;
  Fd own(openat(screens.get(), ("S-" + account).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  DIR* dir = own.get() < 0 ? nullptr : fdopendir(own.get());
  if (!dir) return pids;
  own.release();  // the stream owns it now
  while (const struct dirent* entry = readdir(dir)) {
    // "<pid>.<session name>"
    char* end = nullptr;
    const long pid = strtol(entry->d_name, &end, 10);
    ProcessFacts facts;
    if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9' && *end == '.' && name == end + 1 && pid > 1 &&
        pid <= 0x3fffffff && processFacts(static_cast<pid_t>(pid), facts) && wholly(facts, uid))
      pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(dir);
  return pids;
}

std::vector<pid_t> sessionProcessTree(const std::vector<pid_t>& roots, uid_t uid) {
  std::map<pid_t, ProcessFacts> all = accountProcesses(uid);
  std::set<pid_t> members, sessions;
  auto join = [&](pid_t pid, const ProcessFacts& facts) {
    members.insert(pid);
    if (facts.session == pid) sessions.insert(pid);
  };
  for (pid_t root : roots) {
    auto it = all.find(root);
    if (it != all.end()) join(root, it->second);
  }
  // Until nothing more joins: children of members, and members of the sessions they lead.
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& p : all) {
      if (members.count(p.first) || !(members.count(p.second.ppid) || sessions.count(p.second.session)))
        continue;
      join(p.first, p.second);
      grew = true;
    }
  }
  return std::vector<pid_t>(members.begin(), members.end());
}
