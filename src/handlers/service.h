// Game services in detached screen sessions named "service<id>": "start", "stop", "restart",
// "status" and "screenexec", with startServer and stopServer. Handlers run on the calling
// worker thread and block it while they wait; they share no state.
#ifndef KADREL_HANDLERS_SERVICE_H
#define KADREL_HANDLERS_SERVICE_H

#include <sys/types.h>

#include <string>
#include <vector>

// True when `pid` is a process of the account `user` (every user id its) that descends,
// through the account's processes only, from `screen`, a process of the account started no
// earlier than `since` (bootTicksNow): the session this start created. The pids come from
// lookups run as the account, through names it controls; only what this says is trusted.
bool serviceProcessOf(const std::string& user, pid_t screen, pid_t pid, unsigned long long since);

// Starts the service in a detached screen session as `user` and answers the start line, or a
// refusal ("Server is still running, ...", "Server has no executable", ...), or "fail".
// `affinity` becomes the taskset prefix in place.
std::string startServer(std::string& user, std::string& startmode, std::string& priority, std::string& gameid,
                        std::string& affinity, std::string& premode, std::string& postmode,
                        std::string& servicetype);

// Runs the special stop line of `servicetype`, if it has one, and ends every process of every
// session named exactly "service<gameid>": SIGTERM, a grace period (10 s) for them to end, then
// SIGKILL ("pkill -u" of the account on FreeBSD). Answers "Server stopped" once none of them is
// left, "fail" when some still run.
std::string stopServer(std::string& gameid, std::string& user, std::string& servicetype,
                       std::string& premode);

// True when `priority` is empty or an integer, and `affinity` empty or a CPU list as taskset
// takes it. Logs a warning naming the bad value otherwise.
bool serviceParametersValid(const std::string& priority, const std::string& affinity);

// The instruction handlers.
std::string startService(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string stopService(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string restartService(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string serviceStatus(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string screenExec(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

#endif
