// The start-up check for the host programs the agent calls.
#ifndef KADREL_AGENT_HOSTCHECK_H
#define KADREL_AGENT_HOSTCHECK_H

#include <string>

// True when whereis finds no program named `app` (the name is shell text).
bool isMissing(const std::string& app);

// Checks the host programs in order, warning for each missing one. Returns false when the
// agent cannot run (which or screen missing).
bool CheckHostPrograms();

#endif
