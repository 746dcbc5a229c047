// The dispatch steps; which handler a name selects, and what its result means, is the
// instruction table's (InstructionTable).
#include "dispatch/InstructionParser.h"

#include <boost/algorithm/string/replace.hpp>
#include <exception>

#include "core/Log.h"
#include "core/Settings.h"
#include "exec/CommandRunner.h"
#include "exec/InstructionParserHelpers.h"

// Runs a command handler's line: with its output as the reply when one is wanted.
static std::string executeCommand(const std::string& cmddo, std::string& user, bool replyWanted,
                                  ReplyStream* stream) {
  if (cmddo.empty()) return std::string();
  try {
    if (replyWanted) {
      Log("returnExec");
      if (!stream) return returnExec(cmddo, user);
      streamExec(cmddo, user, *stream);
      return std::string();
    }
    Log("No return, forking..");
    return noReturnExec(cmddo, user);
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with exec(): ") + e.what()).c_str());
    return std::string();
  }
}

std::string InstructionParser(std::string& data, std::string& user, bool replyWanted, ReplyStream* stream) {
  // Only an instruction that names the directory pays for looking it up.
  if (data.find("$MAINDIR") != std::string::npos) {
    std::string maindir;
    if (agentDirectory(maindir)) {
      boost::algorithm::replace_all(data, "$MAINDIR", maindir);
    } else {
      Log_warn("There was a problem with $MAINDIR: the working directory cannot be determined");
    }
  }

  // The instruction is not needed again: its largest piece (a writefile's contents) keeps its
  // buffer instead of being copied.
  std::vector<std::string> strlines = explode(":_:", std::move(data));
  if (strlines.empty() || strlines[0].empty()) return std::string();

  std::string cmddo;
  std::string reply;
  // A reply nobody wants is never held: a streaming handler stops at its first byte.
  UnwantedReply unwanted;
  ReplyStream* target = replyWanted ? stream : &unwanted;
  if (RouteInstruction(strlines, user, cmddo, reply, target)) return reply;
  return executeCommand(cmddo, user, replyWanted, stream);
}

bool isInstructionName(const std::string& name) { return findInstruction(name) != nullptr; }

bool RouteInstruction(std::vector<std::string>& strlines, std::string& user, std::string& cmddo,
                      std::string& reply, ReplyStream* stream) {
  if (const Instruction* row = findInstruction(strlines[0]))
    return row->call(strlines, user, cmddo, reply, stream);
  // An unknown name runs as a command of its own, with its first argument.
  cmddo = strlines[0] + " " + arg(strlines, 1);
  return false;
}
