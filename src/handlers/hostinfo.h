// Host information instructions: "version" (answered by the agent itself), and "update",
// "iplist", "sysstats", "ping", "openiptable", "closeiptable" and "gamemonitor", which compose
// one command line into `cmddo` (the FreeBSD form on a FreeBSD build).
#ifndef KADREL_HANDLERS_HOSTINFO_H
#define KADREL_HANDLERS_HOSTINFO_H

#include <string>
#include <vector>

std::string versionInfo(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string runUpdate(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
// One IPv4 address per line in ifconfig's order; on Linux from both ifconfig formats
// ("inet addr:10.0.0.5" and "inet 10.0.0.5").
std::string ipList(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string sysStats(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string pingHost(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string openIpTable(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string closeIpTable(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
// Fetches element 2 "?p=" element 3 "&e2=" element 4 from the local address of element 1 into
// a temporary file of its own (made by mktemp in the working directory), removed afterwards.
std::string gameMonitor(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

#endif
