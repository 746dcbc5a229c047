// Runs one shell command line through "/bin/bash -c" in a child process, as the acting
// account ("root" in any letter case: as the agent itself). The one fork/exec path of the
// agent: the account is looked up and the environment built before fork; between fork and
// execve the child makes only async-signal-safe calls and reports a failure over a
// close-on-exec pipe. Every call waits for its own child. Safe to call from any thread.
#ifndef KADREL_DISPATCH_COMMANDRUNNER_H
#define KADREL_DISPATCH_COMMANDRUNNER_H

#include <string>

// Longest command line that can be run: one exec argument holds at most 128 KiB with its NUL.
const size_t kMaxCommandLine = 128 * 1024 - 1;

// The command's standard output, byte for byte, plus "\n" ("\n" alone when the command never
// ran because the account could not be taken on). Empty when no child could be started, or
// the line was refused (too long, or holding a NUL byte that would cut it).
// The command sees descriptors 0, 1 (the pipe) and 2 only.
std::string returnExec(const std::string& cmddo1, const std::string& user);

// Runs the line with no descriptors open at all, waits for bash to end, returns "".
std::string noReturnExec(const std::string& cmddo1, const std::string& user);

#endif
