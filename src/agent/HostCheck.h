// The start-up check for the host programs the agent calls.
#ifndef KADREL_AGENT_HOSTCHECK_H
#define KADREL_AGENT_HOSTCHECK_H

#include <string>

// Everything `cmd` writes to standard output (run through the system shell).
std::string exeCmd(const std::string& cmd);

// True when `app` is MISSING: whereis reports nothing beyond the name itself.
bool is_installed(const std::string& app);

// Checks the host programs in order, warning for each missing one. Returns false when the
// agent cannot run (which or screen missing).
bool CheckHostPrograms();

#endif
