// The dispatcher: turns one instruction text into one reply. It substitutes "$MAINDIR",
// splits the text on ":_:", finds the handler (the exact-match instruction_table first, then
// the case-insensitive name chain in order, else the name and its first argument run as a
// command line) and runs a command handler's line as the acting account.
// Any number of dispatches may run at once; the tables are filled once and only read.
#ifndef KADREL_DISPATCH_INSTRUCTIONPARSER_H
#define KADREL_DISPATCH_INSTRUCTIONPARSER_H

#include <string>
#include <vector>

#include "dispatch/InstructionTable.h"
#include "exec/CommandRunner.h"

// With `stream`, a command line run with a reply has its output streamed there as it arrives
// (then "\n"), and the returned reply is empty; see streamExec.
std::string InstructionParser(std::string& data, std::string& user, std::string& expectreturn,
                              ReplyStream* stream = nullptr);

// Finds and calls the handler of strlines[0] (not empty): true when `reply` is the reply,
// false when the command line left in `cmddo` is to run (empty: nothing runs). Runs nothing
// itself, so tests can check a handler's composed line without a socket. A streaming handler
// sends its reply to `stream` when one is given (`reply` then stays empty).
bool RouteInstruction(std::vector<std::string>& strlines, std::string& user, std::string& cmddo,
                      std::string& reply, ReplyStream* stream = nullptr);

// True when `name` selects a handler (the exact-match table or the name chain); any other name
// is run as a command line of its own.
bool isInstructionName(const std::string& name);

#endif
