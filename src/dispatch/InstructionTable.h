// The routing data of the dispatcher: the exact-match `instruction_table` and the ordered,
// case-insensitive name chain, with every handler's include. Adding an instruction is one row
// here; the dispatcher itself never changes for it. Filled once, read by any thread.
#ifndef KADREL_DISPATCH_INSTRUCTIONTABLE_H
#define KADREL_DISPATCH_INSTRUCTIONTABLE_H

#include <map>
#include <string>
#include <vector>

// A handler: reads the argument vector (element 0 the name), returns its reply or fills
// `cmddo` with one shell command line.
typedef std::string (*procPtr)(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

class ReplyStream;
// A handler whose reply may be of any size: it sends the reply to `out` as it produces it.
typedef void (*streamProcPtr)(std::vector<std::string>& strlines, std::string& user, ReplyStream& out);

enum HandlerKind {
  kReply,           // the function's result is the reply
  kCommand,         // the function fills cmddo, which the command execution step runs
  kReplyOrCommand,  // a non-empty result is the reply; otherwise cmddo runs
  kStreamedReply,   // `streamer` sends the reply to the connection; without one, `function` returns it
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
  streamProcPtr streamer = nullptr;  // kStreamedReply only
};
extern const std::vector<NamedInstruction> instruction_chain;

// Puts the exact-match rows into instruction_table (replacing rows that exist).
void initInstructions();

#endif
