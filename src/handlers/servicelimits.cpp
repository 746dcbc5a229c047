// Service records, limits and usage.
#include "handlers/servicelimits.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

#include "core/Log.h"
#include "core/Settings.h"
#include "exec/Descriptors.h"
#include "exec/Identity.h"
#include "exec/InstructionParserHelpers.h"
#include "exec/Processes.h"
#include "exec/ServiceGroups.h"
#include "handlers/provisioning.h"

namespace {

// What the panel set for one service ("" where it left the default) and when it last started.
struct ServiceRecord {
  std::string memory, cpu, tasks;
  long long since = -1;
};

// Guards every read-modify-write of the records.
std::mutex records;

std::string recordDir(const std::string& account) {
  std::string dir;
  if (!agentDirectory(dir)) return std::string();
  return dir + "/services/" + account;
}

ServiceRecord readRecord(const std::string& account, const std::string& id) {
  ServiceRecord r;
  const std::string dir = recordDir(account);
  if (dir.empty()) return r;
  std::string text;
  if (!readSmallFile(dir + "/" + id, text, true)) return r;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find('=');
    const std::string key = line.substr(0, eq), value = eq == std::string::npos ? "" : line.substr(eq + 1);
    if (key == "memory") r.memory = value;
    if (key == "cpu") r.cpu = value;
    if (key == "tasks") r.tasks = value;
    if (key == "since") r.since = atoll(value.c_str());
  }
  return r;
}

// Writes the record whole under a temporary name and renames it over the old one.
bool writeRecord(const std::string& account, const std::string& id, const ServiceRecord& r) {
  const std::string dir = recordDir(account);
  if (dir.empty()) return false;
  const std::string top = dir.substr(0, dir.rfind('/'));
  if ((mkdir(top.c_str(), 0700) != 0 && errno != EEXIST) ||
      (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST))
    return false;
  const std::string text = "memory=" + r.memory + "\ncpu=" + r.cpu + "\ntasks=" + r.tasks +
                           "\nsince=" + std::to_string(r.since) + "\n";
  // The temporary file is made anew beside the accounts' directories, never under a name that a
  // service id (which may hold almost anything) could also be.
  const std::string path = dir + "/" + id;
  std::string temporary = top + "/.record-XXXXXX";
  Fd fd(mkostemp(&temporary[0], O_CLOEXEC));
  if (fd.get() < 0) {
    Log_warn("There was a problem with the service record %s: %s", path.c_str(), strerror(errno));
    return false;
  }
  if (!writeAll(fd.get(), text.data(), text.size()) || rename(temporary.c_str(), path.c_str()) != 0) {
    Log_warn("There was a problem with the service record %s: %s", path.c_str(), strerror(errno));
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

// One limit of the record over the configuration's default.
long long limitOf(LimitKind kind, const std::string& own, long long fallback) {
  long long value;
  return !own.empty() && parseLimit(kind, own, value) ? value : fallback;
}

ServiceLimits limitsOf(const ServiceRecord& r) {
  const ServiceLimits& defaults = settings().serviceLimits;
  ServiceLimits l;
  l.memoryBytes = limitOf(LimitKind::Memory, r.memory, defaults.memoryBytes);
  l.cpuPercent = limitOf(LimitKind::Cpu, r.cpu, defaults.cpuPercent);
  l.tasks = limitOf(LimitKind::Tasks, r.tasks, defaults.tasks);
  return l;
}

bool refused(const std::string& why) {
  Log_warn("%s", ("There was a problem with setlimits: " + why + "; nothing was changed").c_str());
  return true;
}

// A JSON value: the number, or null for a negative one (not known, or no limit).
std::string orNull(long long value) { return value < 0 ? "null" : std::to_string(value); }

std::string statsJson(const ServiceUsage& u, long long since) {
  char cpu[64];
  snprintf(cpu, sizeof cpu, "%.3f", u.cpuSeconds);
  return std::string("{\"running\":") + (u.running ? "true" : "false") +
         ",\"since\":" + (u.running ? orNull(since) : "null") + ",\"cpu_seconds\":" + cpu +
         ",\"memory_bytes\":" + orNull(u.memoryBytes) +
         ",\"memory_peak_bytes\":" + orNull(u.memoryPeakBytes) + ",\"tasks\":" + orNull(u.tasks) +
         ",\"oom_kills\":" + orNull(u.oomKills) +
         ",\"limits\":{\"memory_bytes\":" + orNull(u.limits.memoryBytes) +
         ",\"cpu_percent\":" + orNull(u.limits.cpuPercent) + ",\"tasks\":" + orNull(u.limits.tasks) + "}}";
}

// The session's processes as stop finds them without a group, summed from /proc.
bool sessionUsage(const std::string& user, const std::string& id, ServiceUsage& u, long long& since) {
  uid_t uid = 0;
  AccountContext account;
  if (!isRootUser(user)) {
    if (!LookupAccount(user, account)) return false;
    uid = account.uid;
  }
  u = ServiceUsage();
  u.memoryBytes = u.tasks = 0;
  const std::vector<pid_t> screens = screenSessions(groupAccountName(user), uid, "service" + id);
  const long ticks = sysconf(_SC_CLK_TCK), page = sysconf(_SC_PAGESIZE);
  unsigned long long first = 0;
  for (pid_t pid : sessionProcessTree(screens, uid)) {
    ProcessFacts f;
    if (!processFacts(pid, f)) continue;
    u.running = true;
    u.cpuSeconds += static_cast<double>(f.cpuTicks) / ticks;
    u.memoryBytes += f.rssPages * page;
    u.tasks += f.threads;
    if (first == 0 || f.startTicks < first) first = f.startTicks;
  }
  // Boot ticks into Unix time.
  struct timespec boot, now;
  clock_gettime(CLOCK_BOOTTIME, &boot);
  clock_gettime(CLOCK_REALTIME, &now);
  since = u.running ? static_cast<long long>(now.tv_sec - boot.tv_sec) + static_cast<long long>(first) / ticks
                    : -1;
  return true;
}

}  // namespace

std::string groupAccountName(const std::string& user) { return isRootUser(user) ? "root" : user; }

ServiceLimits limitsInForce(const std::string& account, const std::string& id) {
  std::lock_guard<std::mutex> hold(records);
  return limitsOf(readRecord(account, id));
}

void reapplyServiceLimits() {
  for (const auto& group : existingServiceGroups())
    if (validServiceId(group.second))
      applyServiceLimits(group.first, group.second, limitsInForce(group.first, group.second));
}

void recordServiceStart(const std::string& account, const std::string& id) {
  std::lock_guard<std::mutex> hold(records);
  ServiceRecord r = readRecord(account, id);
  r.since = static_cast<long long>(time(nullptr));
  writeRecord(account, id, r);
}

long long serviceStartTime(const std::string& account, const std::string& id) {
  std::lock_guard<std::mutex> hold(records);
  return readRecord(account, id).since;
}

std::string setLimits(std::vector<std::string>& strlines, std::string& user, std::string&) {
  if (!serviceLimitsSupported()) return "Limits are not supported on this host";
  const std::string account = groupAccountName(user), &id = arg(strlines, 1);
  AccountContext context;
  if (!validAccountName(account) || !(isRootUser(user) || LookupAccount(user, context)))
    return refused("the account " + user + " does not exist") ? "fail" : "";
  if (!validServiceId(id)) return refused("the service id is not valid") ? "fail" : "";
  const std::string values[] = {arg(strlines, 2), arg(strlines, 3), arg(strlines, 4)};
  const LimitKind kinds[] = {LimitKind::Memory, LimitKind::Cpu, LimitKind::Tasks};
  for (int i = 0; i < 3; ++i) {
    long long ignored;
    if (!values[i].empty() && !parseLimit(kinds[i], values[i], ignored))
      return refused("\"" + values[i] + "\" is not a limit") ? "fail" : "";
  }
  std::lock_guard<std::mutex> hold(records);
  ServiceRecord r = readRecord(account, id);
  const ServiceLimits before = limitsOf(r);
  r.memory = values[0];
  r.cpu = values[1];
  r.tasks = values[2];
  // A running service gets them at once; one the kernel refuses leaves the service as it was.
  if (!applyServiceLimits(account, id, limitsOf(r))) {
    applyServiceLimits(account, id, before);
    return "fail";
  }
  return writeRecord(account, id, r) ? "Limits set" : "fail";
}

std::string serviceStats(std::vector<std::string>& strlines, std::string& user, std::string&) {
  const std::string account = groupAccountName(user), &id = arg(strlines, 1);
  if (!validAccountName(account) || !validServiceId(id)) return "fail";
  ServiceUsage usage;
  long long since = -1;
  // A group outlives its last process until stop or the next start, so that what ended it
  // (its memory limit, say) can still be read.
  if (serviceGroupsUsable() && serviceGroupUsage(account, id, usage)) {
    if (usage.running) since = serviceStartTime(account, id);
  } else if (!sessionUsage(user, id, usage, since)) {
    return "fail";
  }
  return statsJson(usage, since);
}
