// Service provisioning: "addserver" (the account's home, the service's screen configuration
// file and the account's log rotation entry), "updateserver" and "removeserver". The agent
// writes and removes these files itself, as root, never following a link planted at a path.
#ifndef KADREL_HANDLERS_PROVISIONING_H
#define KADREL_HANDLERS_PROVISIONING_H

#include <string>
#include <vector>

// True for a service id that stays one file-name suffix: not empty, not "." or "..", without
// "/" and without control characters (a line feed would add lines to the screen configuration).
bool validServiceId(const std::string& gameid);

std::string addServer(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string updateServer(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
std::string removeServer(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

#endif
