// "command".
#include "handlers/command.h"

#include "exec/InstructionParserHelpers.h"

std::string insCommand(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  // Shell text by design: the panel sends a whole command line.
  cmddo = arg(strlines, 1);
  return std::string();
}
