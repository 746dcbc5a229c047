// The limits a game server's control group can bind it by, and the text forms the configuration
// and the panel give them in.
#ifndef KADREL_CORE_SERVICELIMITS_H
#define KADREL_CORE_SERVICELIMITS_H

#include <string>

// A limit's value; kNoLimit: none.
const long long kNoLimit = -1;

struct ServiceLimits {
  long long memoryBytes = kNoLimit;
  long long cpuPercent = kNoLimit;  // of one CPU: 150 is one and a half
  long long tasks = kNoLimit;       // processes and threads
};

enum class LimitKind { Memory, Cpu, Tasks };

// Reads one limit: "max" (any letter case) is none (kNoLimit); otherwise a positive decimal number,
// for memory in bytes or with a suffix K, M or G (any letter case, powers of 1024). False for any
// other text, zero, or a value larger than the kernel takes (4194304 tasks, 17592186044 percent,
// 2^63 - 1 bytes).
bool parseLimit(LimitKind kind, const std::string& text, long long& value);

#endif
