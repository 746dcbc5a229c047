// The "command" instruction: its first argument is a shell command line, run as it stands.
#ifndef KADREL_HANDLERS_COMMAND_H
#define KADREL_HANDLERS_COMMAND_H

#include <string>
#include <vector>

std::string insCommand(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

#endif
