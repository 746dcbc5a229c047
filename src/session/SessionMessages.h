// Handles one request message of one connection: the handshake (server id, passphrase), the
// setting messages and the instruction message, and answers it on that connection. A setting
// message sets the value for its connection and as the process-wide current value, which
// connections that never set their own use; one lock guards them, never held while an
// instruction runs.
#ifndef KADREL_SESSION_SESSIONMESSAGES_H
#define KADREL_SESSION_SESSIONMESSAGES_H

#include <string>

class KadrelConnection;
class ReplyStream;

// Returns true to keep the connection open, false to end it (after any reply was sent).
bool HandleMessage(std::string& data, KadrelConnection& new_gcp);

// The dispatcher HandleMessage hands an instruction to: InstructionParser, unless a test or a
// fuzz target puts one in place that records instead of running. Set before any connection.
using InstructionDispatcher = std::string (*)(std::string& data, std::string& user, bool replyWanted,
                                              ReplyStream* stream);
void setInstructionDispatcher(InstructionDispatcher dispatcher);

// Compares a secret the panel sent with the configured one without regard to letter case, in
// time that does not depend on where they differ.
bool secretEquals(const std::string& given, const std::string& expected);

// The process-wide session settings as they stand (initially "root", "no", "yes"): the acting
// account ("cmd_user:"), whether instructions are answered ("cmd_return:") and whether the
// connection closes after an answer ("cmd_close:"), each "yes" in any letter case.
struct SessionSettings {
  std::string user;
  bool replyWanted;
  bool closeAfterReply;
};
SessionSettings currentSessionSettings();
// Replaces all three (tests restore what they changed).
void setSessionSettings(const SessionSettings& settings);

#endif
