// Account instructions. So far: "whereami", the agent's start directory.
#ifndef KADREL_HANDLERS_USER_H
#define KADREL_HANDLERS_USER_H

#include <string>
#include <vector>

std::string whereAmI(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

#endif
