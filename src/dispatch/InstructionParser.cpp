// The dispatch steps; the routing data lives in InstructionTable.
#include "dispatch/InstructionParser.h"

#include <boost/algorithm/string/replace.hpp>
#include <exception>
#include <mutex>

#include "core/Log.h"
#include "core/Settings.h"
#include "exec/CommandRunner.h"
#include "exec/InstructionParserHelpers.h"

static std::once_flag instructions_once;

// Runs a command handler's line: with its output as the reply when one is wanted.
static std::string executeCommand(const std::string& cmddo, std::string& user,
                                  const std::string& expectreturn, ReplyStream* stream) {
  if (cmddo.empty()) return std::string();
  try {
    if (iequals(expectreturn, "yes")) {
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

std::string InstructionParser(std::string& data, std::string& user, std::string& expectreturn,
                              ReplyStream* stream) {
  // Only an instruction that names the directory pays for looking it up.
  if (data.find("$MAINDIR") != std::string::npos) {
    std::string maindir;
    if (agentDirectory(maindir)) {
      boost::algorithm::replace_all(data, "$MAINDIR", maindir);
    } else {
      Log_warn("There was a problem with $MAINDIR: the working directory cannot be determined");
    }
  }

  std::vector<std::string> strlines = explode(":_:", data);
  if (strlines.empty() || strlines[0].empty()) return std::string();

  std::string cmddo;
  std::string reply;
  // A reply nobody wants is never held: a streaming handler stops at its first byte.
  UnwantedReply unwanted;
  ReplyStream* target = iequals(expectreturn, "yes") ? stream : &unwanted;
  if (RouteInstruction(strlines, user, cmddo, reply, target)) return reply;
  return executeCommand(cmddo, user, expectreturn, stream);
}

bool isInstructionName(const std::string& name) {
  std::call_once(instructions_once, initInstructions);
  if (instruction_table.count(name)) return true;
  for (const NamedInstruction& candidate : instruction_chain)
    if (iequals(name, candidate.name)) return true;
  return false;
}

bool RouteInstruction(std::vector<std::string>& strlines, std::string& user, std::string& cmddo,
                      std::string& reply, ReplyStream* stream) {
  std::call_once(instructions_once, initInstructions);
  const std::string& name = strlines[0];

  auto entry = instruction_table.find(name);
  if (entry != instruction_table.end()) {
    reply = entry->second.function(strlines, user, cmddo);
    return entry->second.returns;
  }

  for (const NamedInstruction& candidate : instruction_chain) {
    if (!iequals(name, candidate.name)) continue;
    if (candidate.kind == kStreamedReply) {
      if (stream == nullptr) {
        reply = candidate.function(strlines, user, cmddo);
      } else {
        candidate.streamer(strlines, user, *stream);
      }
      return true;
    }
    reply = candidate.function(strlines, user, cmddo);
    return candidate.kind == kReply || (candidate.kind == kReplyOrCommand && !reply.empty());
  }

  // An unknown name runs as a command of its own, with its first argument.
  cmddo = name + " " + arg(strlines, 1);
  return false;
}
