// Account instructions.
#include "handlers/user.h"

#include "dispatch/InstructionParserHelpers.h"

std::string whereAmI(std::vector<std::string>&, std::string&, std::string&) {
  std::string dir;
  agentDirectory(dir);
  return dir;
}
