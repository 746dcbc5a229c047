// Host information instructions. So far: "version", the agent's version.
#ifndef KADREL_HANDLERS_HOSTINFO_H
#define KADREL_HANDLERS_HOSTINFO_H

#include <string>
#include <vector>

std::string versionInfo(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

#endif
