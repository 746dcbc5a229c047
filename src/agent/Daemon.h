// The process's place in the system: detaching into a daemon and telling the started process
// whether the daemon listens.
#ifndef KADREL_AGENT_DAEMON_H
#define KADREL_AGENT_DAEMON_H

#include <string>

// Detaches unless debug is "alwayson". The started process does not return: it waits until
// the daemon reports through DaemonReport, then exits 0 when the daemon listens, or writes
// "Error: " and the daemon's error to standard error and exits 1. The daemon returns with
// descriptors 0-2 on /dev/null, the system log open as `cmd`, and "debug.txt" open.
void Daemonize(const char* cmd);

// Called by the daemon once the listening socket exists (ok) or failed (ok false, `error`
// holding the socket error). Does nothing in the foreground or when already reported.
void DaemonReport(bool ok, const std::string& error);

#endif
