// The dispatcher: turns one instruction text into one reply. It substitutes "$MAINDIR",
// splits the text on ":_:", finds the handler (the exact-match instruction_table first, then
// the case-insensitive name chain in order, else the name and its first argument run as a
// command line) and runs a command handler's line as the acting account.
// Any number of dispatches may run at once; the tables are filled once and only read.
#ifndef KADREL_DISPATCH_INSTRUCTIONPARSER_H
#define KADREL_DISPATCH_INSTRUCTIONPARSER_H

#include <map>
#include <string>
#include <vector>

// A handler: reads the argument vector (element 0 the name), returns its reply or fills
// `cmddo` with one shell command line.
typedef std::string (*procPtr)(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

enum HandlerKind {
  kReply,           // the function's result is the reply
  kCommand,         // the function fills cmddo, which the command execution step runs
  kReplyOrCommand,  // a non-empty result is the reply; otherwise cmddo runs
};

struct Processor {
  procPtr function;
  bool returns;
};

// Keys match exactly, letter case included.
extern std::map<const std::string, Processor> instruction_table;

// One name of the case-insensitive chain, compared in table order.
struct NamedInstruction {
  const char* name;
  procPtr function;
  HandlerKind kind;
};
extern const std::vector<NamedInstruction> instruction_chain;

void initInstructions();

std::string InstructionParser(std::string& data, std::string& user, std::string& expectreturn);

#endif
