// What root learns about a host process from /proc, read by the agent itself: never from a
// name or a listing that an account controls. Used where root acts on an account's processes
// (signals, renice). Every function may run on any thread.
#ifndef KADREL_HANDLERS_PROCESSES_H
#define KADREL_HANDLERS_PROCESSES_H

#include <sys/types.h>

#include <string>

struct ProcessFacts {
  pid_t ppid = 0;
  uid_t realUid = 0, effectiveUid = 0, savedUid = 0;
  unsigned long long startTicks = 0;  // when it started, in clock ticks since boot
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

#endif
