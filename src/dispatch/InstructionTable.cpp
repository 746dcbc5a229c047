// The instruction table and the name chain.
#include "dispatch/InstructionTable.h"

#include "handlers/generic.h"
#include "handlers/hostinfo.h"
#include "handlers/user.h"

std::map<const std::string, Processor> instruction_table;

// Names the exact table does not hold, compared without regard to letter case, in this order.
const std::vector<NamedInstruction> instruction_chain = {
    {"whereami", whereAmI, kReply},
    {"version", versionInfo, kReply},
};

void initInstructions() { instruction_table["command"] = Processor{insCommand, false}; }
