// The control groups of the game servers: one group per service (account and service id) under
// a subtree of the agent's own, with one interface over the unified hierarchy (cgroup v2) and the
// legacy controllers (cgroup v1: memory, cpu, cpuacct, pids, freezer), which hybrid hosts mount
// beside a v2 hierarchy without controllers. A process put into a group cannot leave it: the
// groups and their files are root's. Set up once at start-up; afterwards every function may run
// on any thread (the layout found at start-up is only read).
#ifndef KADREL_EXEC_SERVICEGROUPS_H
#define KADREL_EXEC_SERVICEGROUPS_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "core/ServiceLimits.h"

// What a group's files say; -1 where the host does not tell.
struct ServiceUsage {
  bool running = false;
  double cpuSeconds = 0;
  long long memoryBytes = -1, memoryPeakBytes = -1, tasks = -1, oomKills = -1;
  ServiceLimits limits;  // in force
};

// Finds the hierarchies and prepares the agent's subtree. Under the service manager (a unit with
// Delegate=yes) the subtree is the unit's own group and the agent moves itself into its leaf
// "agent"; elsewhere it is "kadrel-services" under the group the agent was started in. Call once,
// before any thread starts. False, with the reason in `why`, when no hierarchy is usable.
bool SetUpServiceGroups(std::string& why);

// True once SetUpServiceGroups succeeded.
bool serviceGroupsUsable();

// True when memory, CPU and task limits can all be set.
bool serviceLimitsSupported();

// What a child writes "0" to, in each hierarchy, to join a group before it runs anything.
struct GroupEntry {
  GroupEntry() = default;
  ~GroupEntry() { clear(); }
  GroupEntry(const GroupEntry&) = delete;
  GroupEntry& operator=(const GroupEntry&) = delete;
  void clear();
  std::vector<int> procs;  // owned, close-on-exec
};

// Creates the group of service `id` of `account` where missing, applies `limits`, and opens its
// entry. False (logged) when it cannot.
bool prepareServiceGroup(const std::string& account, const std::string& id, const ServiceLimits& limits,
                         GroupEntry& entry);

// The (account, service id) of every group there is, running or not: after a restart of the
// agent, those its predecessor made.
std::vector<std::pair<std::string, std::string>> existingServiceGroups();

// The processes in the service's group (none when it has no group).
std::vector<pid_t> serviceGroupProcesses(const std::string& account, const std::string& id);

// Ends every process of the group: SIGTERM to all (the group frozen meanwhile, so that no fork
// escapes between listing and signal), `graceMs` for them to end, then SIGKILL to the group as a
// whole until it is empty or `killMs` have passed; removes the emptied group. True when nothing
// of it runs any more.
bool endServiceGroup(const std::string& account, const std::string& id, unsigned graceMs, unsigned killMs);

// Applies `limits` to the service's group, when it has one. False (logged) when the kernel
// refused a value.
bool applyServiceLimits(const std::string& account, const std::string& id, const ServiceLimits& limits);

// The service's usage and the limits in force from its group's files. False when it has no group.
bool serviceGroupUsage(const std::string& account, const std::string& id, ServiceUsage& usage);

#endif
