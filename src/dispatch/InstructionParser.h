// The dispatcher: turns one instruction text into one reply. It substitutes "$MAINDIR",
// splits the text on ":_:", finds the handler in the instruction table (a name no row has runs
// as a command line of its own, with its first argument) and runs a command handler's line as
// the acting account. Any number of dispatches may run at once; the table is constant.
#ifndef KADREL_DISPATCH_INSTRUCTIONPARSER_H
#define KADREL_DISPATCH_INSTRUCTIONPARSER_H

#include <string>
#include <vector>

#include "dispatch/InstructionTable.h"
#include "exec/CommandRunner.h"

// `replyWanted`: the panel asked for replies ("cmd_return: yes"); without, a command line runs
// and nothing is answered. With `stream`, a command line run with a reply has its output
// streamed there as it arrives (then "\n"), and the returned reply is empty; see streamExec.
// `data` is taken apart: its value afterwards is unspecified.
std::string InstructionParser(std::string& data, std::string& user, bool replyWanted,
                              ReplyStream* stream = nullptr);

// Finds and calls the handler of strlines[0] (not empty): true when `reply` is the reply,
// false when the command line left in `cmddo` is to run (empty: nothing runs). Runs nothing
// itself, so tests can check a handler's composed line without a socket. A streaming handler
// sends its reply to `stream` when one is given (`reply` then stays empty).
bool RouteInstruction(std::vector<std::string>& strlines, std::string& user, std::string& cmddo,
                      std::string& reply, ReplyStream* stream = nullptr);

// True when `name` selects a row of the instruction table; any other name is run as a command
// line of its own.
bool isInstructionName(const std::string& name);

#endif
