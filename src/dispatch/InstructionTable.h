// The instruction table: one row per instruction, with its name, how the name is matched, its
// handler and what the handler's result means. Adding an instruction is one row here; the
// dispatcher itself never changes for it. Constant data, read by any thread.
#ifndef KADREL_DISPATCH_INSTRUCTIONTABLE_H
#define KADREL_DISPATCH_INSTRUCTIONTABLE_H

#include <string>
#include <vector>

// A handler: reads the argument vector (element 0 the name), returns its reply or fills
// `cmddo` with one shell command line.
typedef std::string (*procPtr)(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

class ReplyStream;
// A handler whose reply may be of any size: it sends the reply to `out` as it produces it.
typedef void (*streamProcPtr)(std::vector<std::string>& strlines, std::string& user, ReplyStream& out);

// What a handler's result means (Instruction::call).
enum HandlerKind {
  kReply,           // the function's result is the reply
  kCommand,         // the function fills cmddo, which the command execution step runs
  kReplyOrCommand,  // a non-empty result is the reply; otherwise cmddo runs
  kStreamedReply,   // `streamer` sends the reply to the connection; without one, `function` returns it
};

// How an instruction's name is compared with a row's.
enum NameMatch {
  kExactCase,  // byte for byte, letter case included
  kAnyCase,    // without regard to letter case
};

struct Instruction {
  const char* name;
  NameMatch match;
  procPtr function;
  HandlerKind kind;
  streamProcPtr streamer = nullptr;  // kStreamedReply only

  // Runs the handler as its kind says: true when `reply` is the reply, false when the command
  // line left in `cmddo` is to run (empty: nothing runs). A streaming handler sends its reply
  // to `stream` when one is given (`reply` then stays empty).
  bool call(std::vector<std::string>& strlines, std::string& user, std::string& cmddo, std::string& reply,
            ReplyStream* stream) const;
};

// Read in order; no two rows' names are equal in any letter case, so the order decides nothing.
extern const std::vector<Instruction> instruction_table;

// The row that `name` selects, or nullptr: a name no row has runs as a command line of its own.
const Instruction* findInstruction(const std::string& name);

// The index in instruction_table of the row `name` selects; instruction_table.size() for a name
// no row has.
size_t instructionRow(const std::string& name);

#endif
