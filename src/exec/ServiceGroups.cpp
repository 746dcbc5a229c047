// Control groups read and written through their file systems: the kernel's own interface, the
// same on every distribution. The two hierarchies differ only in file names and value forms,
// which the table of each function below spells out.
#include "exec/ServiceGroups.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "core/Log.h"
#include "exec/Descriptors.h"

namespace {

// What one hierarchy offers the services.
enum Capability : unsigned {
  kMemory = 1,    // limits and usage of memory
  kCpu = 2,       // the CPU quota
  kCpuUsage = 4,  // CPU time used (v2 cpu.stat, v1 cpuacct)
  kPids = 8,      // the task limit and count
  kFreezer = 16,  // freezing the group as a whole
  kKill = 32,     // v2 cgroup.kill: SIGKILL to the group as a whole
};

struct Hierarchy {
  bool v2 = false;
  unsigned caps = 0;
  std::string services;  // the directory that holds the accounts' groups
};

struct Layout {
  bool usable = false;
  std::vector<Hierarchy> hierarchies;
};

Layout layout;

// The hierarchy that offers `cap`, or null.
const Hierarchy* offering(unsigned cap) {
  for (const Hierarchy& h : layout.hierarchies)
    if (h.caps & cap) return &h;
  return nullptr;
}

// The hierarchy whose cgroup.procs lists the members: v2 where mounted, else the first.
const Hierarchy* membership() {
  for (const Hierarchy& h : layout.hierarchies)
    if (h.v2) return &h;
  return layout.hierarchies.empty() ? nullptr : &layout.hierarchies.front();
}

// One write of `value`, as the kernel wants a control file written. The errno on failure.
int writeFile(const std::string& path, const std::string& value) {
  const Fd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (fd.get() < 0) return errno;
  if (write(fd.get(), value.data(), value.size()) != static_cast<ssize_t>(value.size())) return errno;
  return 0;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A decimal value of a control file; -1 when missing or not a number ("max" among them).
long long number(const std::string& path) {
  std::string text;
  if (!readSmallFile(path, text)) return -1;
  char* end = nullptr;
  errno = 0;
  const long long value = strtoll(text.c_str(), &end, 10);
  return (end == text.c_str() || errno != 0) ? -1 : value;
}

// The value of `key` in a keyed file ("key value" lines); -1 when missing.
long long keyed(const std::string& path, const std::string& key) {
  std::string text;
  if (!readSmallFile(path, text)) return -1;
  std::istringstream lines(text);
  std::string k;
  long long value;
  while (lines >> k >> value)
    if (k == key) return value;
  return -1;
}

// The pids a cgroup.procs lists.
std::vector<pid_t> listed(const std::string& dir) {
  std::vector<pid_t> pids;
  std::string text;
  if (!readSmallFile(dir + "/cgroup.procs", text)) return pids;
  std::istringstream lines(text);
  long pid;
  while (lines >> pid) pids.push_back(static_cast<pid_t>(pid));
  return pids;
}

std::string groupPath(const Hierarchy& h, const std::string& account, const std::string& id) {
  return h.services + "/account-" + account + "/service" + id;
}

// v1 reports "no limit" as the largest page-aligned value it holds.
long long v1Limit(long long value) { return value < 0 || value >= (1LL << 62) ? kNoLimit : value; }

void sleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ---- Start-up ----

struct Mount {
  std::string point, root;
  bool v2 = false;
  std::vector<std::string> controllers;  // v1 only
};

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, sep)) parts.push_back(part);
  return parts;
}

std::vector<Mount> cgroupMounts() {
  std::vector<Mount> mounts;
  std::ifstream info("/proc/self/mountinfo");
  std::string line;
  while (std::getline(info, line)) {
    // id parent dev root point options [optional...] - type source superoptions
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    const std::vector<std::string> before = split(line.substr(0, dash), ' ');
    const std::vector<std::string> after = split(line.substr(dash + 3), ' ');
    if (before.size() < 5 || after.size() < 3) continue;
    Mount m;
    m.root = before[3];
    m.point = before[4];
    if (after[0] == "cgroup2") {
      m.v2 = true;
    } else if (after[0] == "cgroup") {
      for (const std::string& option : split(after[2], ','))
        if (option == "memory" || option == "cpu" || option == "cpuacct" || option == "pids" ||
            option == "freezer")
          m.controllers.push_back(option);
      if (m.controllers.empty()) continue;
    } else {
      continue;
    }
    mounts.push_back(m);
  }
  return mounts;
}

// The agent's own group's directory in `m`, from /proc/self/cgroup; empty when not found.
std::string ownGroup(const Mount& m) {
  std::ifstream self("/proc/self/cgroup");
  std::string line;
  while (std::getline(self, line)) {
    const size_t a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string names = line.substr(a + 1, b - a - 1);
    std::string path = line.substr(b + 1);
    bool match = m.v2 ? names.empty() : false;
    for (const std::string& name : split(names, ','))
      for (const std::string& c : m.controllers) match = match || name == c;
    if (!match) continue;
    // A mount of a part of the hierarchy shows the paths below its root.
    if (m.root != "/" && path.compare(0, m.root.size(), m.root) == 0) path = path.substr(m.root.size());
    return m.point + (path == "/" ? "" : path);
  }
  return std::string();
}

bool makeDir(const std::string& path) { return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

// v2: hands the controllers `dir` has down to its children; what the kernel refuses (a group
// that holds processes itself, say) stays off.
void enableControllers(const std::string& dir) {
  std::string available;
  readSmallFile(dir + "/cgroup.controllers", available);
  for (const std::string& c : split(available.substr(0, available.find('\n')), ' '))
    if (c == "memory" || c == "cpu" || c == "pids") writeFile(dir + "/cgroup.subtree_control", "+" + c);
}

unsigned v2Caps(const std::string& dir) {
  std::string on;
  readSmallFile(dir + "/cgroup.subtree_control", on);
  unsigned caps = kFreezer;  // cgroup.freeze is in every group but the root
  for (const std::string& c : split(on.substr(0, on.find('\n')), ' '))
    caps |= c == "memory" ? kMemory : c == "cpu" ? kCpu : c == "pids" ? kPids : 0U;
  if (exists(dir + "/cgroup.kill")) caps |= kKill;
  if (exists(dir + "/cpu.stat")) caps |= kCpuUsage;
  return caps;
}

unsigned v1Caps(const Mount& m) {
  unsigned caps = 0;
  for (const std::string& c : m.controllers)
    caps |= c == "memory"    ? kMemory
            : c == "cpu"     ? kCpu
            : c == "cpuacct" ? kCpuUsage
            : c == "pids"    ? kPids
                             : kFreezer;
  return caps;
}

// Each directory below `dir` whose name starts with "account-".
std::vector<std::string> accountDirs(const std::string& dir) {
  std::vector<std::string> found;
  if (DIR* d = opendir(dir.c_str())) {
    while (const struct dirent* e = readdir(d))
      if (strncmp(e->d_name, "account-", 8) == 0) found.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  return found;
}

// Under the service manager on cgroup v2, the unit's group hands controllers down. A service
// manager that puts the next agent into that group itself (systemd before 254, which ignores
// DelegateSubgroup=) is refused by the kernel while it does: so, when the service manager stops
// the agent (SIGTERM), the controllers are taken back, bottom-up, before it ends. The next agent
// hands them down again and applies each running service's limits anew. Raw system calls only:
// this runs as a signal handler.
pid_t agentPid = 0;
int releaseServices = -1, releaseUnit = -1;  // directories, opened at start-up

void takeBack(int dir, const char* name) {
  char path[300];
  const size_t n = strlen(name);
  if (n + sizeof "/cgroup.subtree_control" > sizeof path) return;
  memcpy(path, name, n);
  memcpy(path + n, "/cgroup.subtree_control", sizeof "/cgroup.subtree_control");
  const int fd = openat(dir, path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  static const char kOff[] = "-memory -cpu -pids";
  ssize_t ignored = write(fd, kOff, sizeof kOff - 1);
  (void)ignored;
  close(fd);
}

void releaseControllers(int sig) {
  if (getpid() == agentPid) {
    alignas(8) char buf[4096];
    lseek(releaseServices, 0, SEEK_SET);
    long n;
    while ((n = syscall(SYS_getdents64, releaseServices, buf, sizeof buf)) > 0) {
      for (long at = 0; at < n;) {
        struct Entry {
          uint64_t ino;
          int64_t off;
          unsigned short reclen;
          unsigned char type;
          char name[1];
        };
        const Entry* e = reinterpret_cast<const Entry*>(buf + at);
        if (e->type == DT_DIR && strncmp(e->name, "account-", 8) == 0) takeBack(releaseServices, e->name);
        at += e->reclen;
      }
    }
    takeBack(releaseServices, ".");
    takeBack(releaseUnit, ".");
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

void releaseOnStop(const std::string& unit, const std::string& services) {
  agentPid = getpid();
  releaseUnit = open(unit.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  releaseServices = open(services.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (releaseUnit < 0 || releaseServices < 0) return;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = releaseControllers;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace

bool SetUpServiceGroups(std::string& why) {
  const char* invocation = getenv("INVOCATION_ID");
  const bool managed = invocation != nullptr && *invocation != '\0';
  layout = Layout();
  for (const Mount& m : cgroupMounts()) {
    const std::string own = ownGroup(m);
    if (own.empty()) continue;
    std::string subtree = own;
    if (managed) {
      // The unit's group hands controllers down, so it may hold no process itself (v2). A service
      // manager that honours DelegateSubgroup=agent already started the agent in that leaf.
      const size_t leaf = own.rfind("/agent");
      if (leaf != std::string::npos && leaf + 6 == own.size()) {
        subtree = own.substr(0, leaf);
      } else if (!makeDir(own + "/agent") ||
                 writeFile(own + "/agent/cgroup.procs", std::to_string(getpid())) != 0) {
        continue;
      }
    } else {
      subtree = own + "/kadrel-services";
    }
    Hierarchy h;
    h.v2 = m.v2;
    h.services = subtree + (managed ? "/services" : "");
    if (!makeDir(subtree) || !makeDir(h.services)) continue;
    if (m.v2) {
      // Refused where the group holds processes itself (unless it is the root): no limits then.
      enableControllers(managed ? subtree : own);
      if (!managed) enableControllers(subtree);
      enableControllers(h.services);
      // The groups of services that run on from before a restart of the agent.
      for (const std::string& dir : accountDirs(h.services)) enableControllers(dir);
      h.caps = v2Caps(h.services);
      if (managed) releaseOnStop(subtree, h.services);
    } else {
      h.caps = v1Caps(m);
    }
    // One hierarchy per capability: v2's where it has it (a pure v2 host mounts no v1 one).
    if (m.v2) {
      for (Hierarchy& other : layout.hierarchies) other.caps &= ~h.caps;
    } else {
      for (const Hierarchy& other : layout.hierarchies) h.caps &= ~other.caps;
    }
    layout.hierarchies.push_back(h);
  }
  // A v1 hierarchy whose every use v2 took over (cpuacct and freezer on a hybrid host) is left
  // out: each hierarchy a start joins costs a migration, milliseconds apiece.
  for (size_t i = layout.hierarchies.size(); i-- > 0;) {
    const Hierarchy& h = layout.hierarchies[i];
    if (h.v2 || h.caps != 0) continue;
    rmdir(h.services.c_str());
    layout.hierarchies.erase(layout.hierarchies.begin() + static_cast<long>(i));
  }
  if (layout.hierarchies.empty()) {
    why = "no control group hierarchy is mounted where the agent may create groups";
    return false;
  }
  layout.usable = true;
  return true;
}

bool serviceGroupsUsable() { return layout.usable; }

bool serviceLimitsSupported() {
  return layout.usable && offering(kMemory) && offering(kCpu) && offering(kPids);
}

namespace {

// Writes the limits to the group's files in every hierarchy that holds them.
bool writeLimits(const std::string& account, const std::string& id, const ServiceLimits& limits) {
  bool ok = true;
  auto put = [&](const std::string& path, const std::string& value) {
    if (int err = writeFile(path, value); err != 0) {
      Log_warn("There was a problem with the service limits: writing %s to %s: %s", value.c_str(),
               path.c_str(), strerror(err));
      ok = false;
    }
  };
  if (const Hierarchy* h = offering(kMemory)) {
    const std::string dir = groupPath(*h, account, id);
    const bool none = limits.memoryBytes == kNoLimit;
    if (h->v2) {
      put(dir + "/memory.max", none ? "max" : std::to_string(limits.memoryBytes));
      // The limit ends what grows past it instead of moving it to swap.
      if (exists(dir + "/memory.swap.max")) put(dir + "/memory.swap.max", none ? "max" : "0");
    } else {
      const std::string value = none ? "-1" : std::to_string(limits.memoryBytes);
      // memsw (memory and swap) may never be below the memory limit: lifted first, then set to
      // the limit, so that swap cannot take what grows past it.
      const bool swap = exists(dir + "/memory.memsw.limit_in_bytes");
      if (swap) put(dir + "/memory.memsw.limit_in_bytes", "-1");
      put(dir + "/memory.limit_in_bytes", value);
      if (swap && !none) put(dir + "/memory.memsw.limit_in_bytes", value);
    }
  }
  if (const Hierarchy* h = offering(kCpu)) {
    const std::string dir = groupPath(*h, account, id);
    const long long period = 100000, quota = limits.cpuPercent * period / 100;
    const bool none = limits.cpuPercent == kNoLimit;
    if (h->v2) {
      put(dir + "/cpu.max",
          (none ? std::string("max") : std::to_string(quota)) + " " + std::to_string(period));
    } else {
      put(dir + "/cpu.cfs_period_us", std::to_string(period));
      put(dir + "/cpu.cfs_quota_us", none ? "-1" : std::to_string(quota));
    }
  }
  if (const Hierarchy* h = offering(kPids))
    put(groupPath(*h, account, id) + "/pids.max",
        limits.tasks == kNoLimit ? "max" : std::to_string(limits.tasks));
  return ok;
}

// Freezes (or thaws) the group as a whole, where a hierarchy can; waits a bounded while until
// the kernel says it is done.
void freeze(const std::string& account, const std::string& id, bool frozen) {
  const Hierarchy* h = offering(kFreezer);
  if (!h) return;
  const std::string dir = groupPath(*h, account, id);
  if (h->v2) {
    writeFile(dir + "/cgroup.freeze", frozen ? "1" : "0");
    for (int i = 0; frozen && i < 100 && keyed(dir + "/cgroup.events", "frozen") != 1; ++i) sleepMs(10);
  } else {
    writeFile(dir + "/freezer.state", frozen ? "FROZEN" : "THAWED");
    std::string state;
    for (int i = 0; frozen && i < 100 && readSmallFile(dir + "/freezer.state", state) && state != "FROZEN\n";
         ++i)
      sleepMs(10);
  }
}

// Signals each listed member. Each pid is pinned by a pidfd and signalled only when the group
// still lists it after the pin, so that a pid the kernel gave to another process in between
// is never signalled.
void signalMembers(const std::string& dir, int sig) {
  std::vector<std::pair<pid_t, int>> pinned;
  for (pid_t pid : listed(dir)) pinned.emplace_back(pid, static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  const std::vector<pid_t> still = listed(dir);
  for (auto& p : pinned) {
    bool member = false;
    for (pid_t pid : still) member = member || pid == p.first;
    if (member && p.second >= 0) syscall(SYS_pidfd_send_signal, p.second, sig, nullptr, 0);
    if (p.second >= 0) close(p.second);
  }
}

bool emptyWithin(const std::string& dir, unsigned ms, const std::function<void()>& each) {
  for (unsigned waited = 0;; waited += 50) {
    if (listed(dir).empty()) return true;
    if (waited >= ms) return false;
    if (each) each();
    sleepMs(50);
  }
}

// Removes the service's group where it is empty; with `account`, the account's too once its last
// service's went.
void removeGroup(const std::string& account, const std::string& id, bool accountToo) {
  for (const Hierarchy& h : layout.hierarchies) {
    const std::string dir = groupPath(h, account, id);
    rmdir(dir.c_str());
    if (accountToo) rmdir(dir.substr(0, dir.rfind('/')).c_str());
  }
}

}  // namespace

void GroupEntry::clear() {
  for (int fd : procs)
    if (fd >= 0) close(fd);
  procs.clear();
}

bool prepareServiceGroup(const std::string& account, const std::string& id, const ServiceLimits& limits,
                         GroupEntry& entry) {
  entry.procs.clear();
  // A group left by a run that ended by itself starts afresh, its counters (peak, kills) with it.
  removeGroup(account, id, false);
  for (const Hierarchy& h : layout.hierarchies) {
    const std::string dir = groupPath(h, account, id), parent = dir.substr(0, dir.rfind('/'));
    // A stop of the account's last other service may remove the account's group in between.
    bool made = false;
    for (int attempt = 0; attempt < 3 && !made; ++attempt) made = makeDir(parent) && makeDir(dir);
    if (!made) {
      Log_warn("There was a problem with startServer: creating the control group %s: %s", dir.c_str(),
               strerror(errno));
      return false;
    }
    if (h.v2) enableControllers(parent);
  }
  if (!writeLimits(account, id, limits)) return false;
  for (const Hierarchy& h : layout.hierarchies) {
    const std::string procs = groupPath(h, account, id) + "/cgroup.procs";
    entry.procs.push_back(open(procs.c_str(), O_WRONLY | O_CLOEXEC));
    if (entry.procs.back() < 0) {
      Log_warn("There was a problem with startServer: opening %s: %s", procs.c_str(), strerror(errno));
      return false;
    }
  }
  return true;
}

std::vector<std::pair<std::string, std::string>> existingServiceGroups() {
  std::vector<std::pair<std::string, std::string>> found;
  const Hierarchy* h = membership();
  if (!h) return found;
  for (const std::string& dir : accountDirs(h->services)) {
    const std::string account = dir.substr(dir.rfind('/') + 9);
    if (DIR* d = opendir(dir.c_str())) {
      while (const struct dirent* e = readdir(d))
        if (e->d_type == DT_DIR && strncmp(e->d_name, "service", 7) == 0)
          found.emplace_back(account, e->d_name + 7);
      closedir(d);
    }
  }
  return found;
}

std::vector<pid_t> serviceGroupProcesses(const std::string& account, const std::string& id) {
  const Hierarchy* h = membership();
  return h ? listed(groupPath(*h, account, id)) : std::vector<pid_t>();
}

bool endServiceGroup(const std::string& account, const std::string& id, unsigned graceMs, unsigned killMs) {
  const Hierarchy* h = membership();
  if (!h) return true;
  const std::string dir = groupPath(*h, account, id);
  if (!exists(dir)) return true;
  if (!listed(dir).empty()) {
    freeze(account, id, true);
    signalMembers(dir, SIGTERM);
    freeze(account, id, false);
    const Hierarchy* killer = offering(kKill);
    auto killAll = [&] {
      if (killer) {
        writeFile(groupPath(*killer, account, id) + "/cgroup.kill", "1");
      } else {
        freeze(account, id, true);
        signalMembers(dir, SIGKILL);
        freeze(account, id, false);
      }
    };
    if (!emptyWithin(dir, graceMs, nullptr) && !emptyWithin(dir, killMs, killAll)) return false;
  }
  removeGroup(account, id, true);
  return true;
}

bool applyServiceLimits(const std::string& account, const std::string& id, const ServiceLimits& limits) {
  const Hierarchy* h = membership();
  if (!h || !exists(groupPath(*h, account, id))) return true;
  return writeLimits(account, id, limits);
}

bool serviceGroupUsage(const std::string& account, const std::string& id, ServiceUsage& usage) {
  const Hierarchy* m = membership();
  if (!m || !exists(groupPath(*m, account, id))) return false;
  usage = ServiceUsage();
  usage.running = !listed(groupPath(*m, account, id)).empty();
  if (const Hierarchy* h = offering(kCpuUsage)) {
    const std::string dir = groupPath(*h, account, id);
    usage.cpuSeconds =
        h->v2 ? keyed(dir + "/cpu.stat", "usage_usec") / 1e6 : number(dir + "/cpuacct.usage") / 1e9;
    if (usage.cpuSeconds < 0) usage.cpuSeconds = 0;
  }
  if (const Hierarchy* h = offering(kMemory)) {
    const std::string dir = groupPath(*h, account, id);
    if (h->v2) {
      usage.memoryBytes = number(dir + "/memory.current");
      usage.memoryPeakBytes = number(dir + "/memory.peak");
      usage.oomKills = keyed(dir + "/memory.events", "oom_kill");
      usage.limits.memoryBytes = number(dir + "/memory.max");
    } else {
      usage.memoryBytes = number(dir + "/memory.usage_in_bytes");
      usage.memoryPeakBytes = number(dir + "/memory.max_usage_in_bytes");
      usage.oomKills = keyed(dir + "/memory.oom_control", "oom_kill");
      usage.limits.memoryBytes = v1Limit(number(dir + "/memory.limit_in_bytes"));
    }
  }
  if (const Hierarchy* h = offering(kCpu)) {
    const std::string dir = groupPath(*h, account, id);
    long long quota, period;
    if (h->v2) {
      std::string text;
      readSmallFile(dir + "/cpu.max", text);
      std::istringstream in(text);
      std::string q;
      in >> q >> period;
      quota = q == "max" ? -1 : std::atoll(q.c_str());
    } else {
      quota = number(dir + "/cpu.cfs_quota_us");
      period = number(dir + "/cpu.cfs_period_us");
    }
    usage.limits.cpuPercent = quota > 0 && period > 0 ? quota * 100 / period : kNoLimit;
  }
  if (const Hierarchy* h = offering(kPids)) {
    const std::string dir = groupPath(*h, account, id);
    usage.tasks = number(dir + "/pids.current");
    usage.limits.tasks = number(dir + "/pids.max");
  } else {
    std::string threads;
    readSmallFile(groupPath(*m, account, id) + (m->v2 ? "/cgroup.threads" : "/tasks"), threads);
    usage.tasks = 0;
    for (char c : threads) usage.tasks += c == '\n';
  }
  return true;
}
