// Runs one shell command line through "/bin/bash -c" as the acting account ("root" in any
// letter case: as the agent itself), in a child started by the child module's exec form, and
// hands back its output: collected into a string, or streamed to the connection. Every call
// waits for its own child. Safe to call from any thread.
#ifndef KADREL_EXEC_COMMANDRUNNER_H
#define KADREL_EXEC_COMMANDRUNNER_H

#include <string>

#include "core/Result.h"

struct GroupEntry;

// Longest command line that can be run: one exec argument holds at most 128 KiB with its NUL.
const size_t kMaxCommandLine = 128 * 1024 - 1;

// The command's standard output, byte for byte, plus "\n". A failure, already logged, when
// the command did not run: no child could be started, the account could not be taken on (an
// unknown account, no home), or the line was refused (too long, or holding a NUL byte that
// would cut it).
// The command sees descriptors 0, 1 (the pipe) and 2 only. Its descriptor 0 is /dev/null, or
// with a non-empty `input` (at most kMaxChildInput bytes) a pipe that yields `input`: how a
// secret such as a password reaches a program, readable by that child alone and never a word
// of the line. With `group`, the command runs inside that control group, and so does everything
// it starts.
Valued<std::string> runCommand(const std::string& cmddo1, const std::string& user,
                               const std::string& input = std::string(), const GroupEntry* group = nullptr);

// The reply of an instruction that wants a command's output: runCommand's output, "\n" alone
// when the command could not run as the account (as streamExec answers), or "" after any other
// failure.
std::string returnExec(const std::string& cmddo1, const std::string& user);
std::string returnExec(const std::string& cmddo1, const std::string& user, const std::string& input);

// Where a streamed reply goes: the connection, implemented by the session layer, which keeps
// every write of the reply in one place.
class ReplyStream {
 public:
  enum class Sent {
    Whole,      // everything up to the pipe's end of file
    Abandoned,  // the peer stopped taking the bytes; the rest of the pipe was read and dropped
    PeerGone,   // the current PeerWatch said the panel has gone; the rest stays unread
  };
  virtual ~ReplyStream() = default;
  // Sends what the pipe `fd` yields, as it arrives, until its end of file.
  virtual Sent forward(int fd) = 0;
  // Sends `n` bytes of the reply. False when the peer stopped taking the bytes.
  virtual bool send(const char* data, size_t n) = 0;
  // Sends `last` and ends the reply.
  virtual void finish(const std::string& last) = 0;
  // Ends a reply that cannot be completed after part of it went out: nothing more is sent,
  // not even the end of the reply, and the connection closes, so the panel never takes a cut
  // reply for a whole one.
  virtual void abandon() = 0;
};

// A reply collected into `text`, for callers without a connection. `text` holds the whole
// reply once finished, and nothing after abandon().
class CollectedReply : public ReplyStream {
 public:
  Sent forward(int fd) override;
  bool send(const char* data, size_t n) override;
  void finish(const std::string& last) override;
  void abandon() override;
  std::string text;
};

// The reply to an instruction whose reply is not wanted: it takes no byte, so work that
// produces a reply stops at its first byte, and nothing is held.
class UnwantedReply : public ReplyStream {
 public:
  Sent forward(int fd) override;
  bool send(const char*, size_t) override { return false; }
  void finish(const std::string&) override {}
  void abandon() override {}
};

// returnExec with the reply streamed to `out` instead of collected: the output as it arrives,
// then "\n" ("\n" alone when the command never ran as the account). Nothing at all goes to
// `out` when no child could be started or the line was refused, nor "\n" when the peer went
// away. Memory does not grow with the output's size. When the current PeerWatch says that the
// panel has gone before the output ends, bash and its process group are killed.
void streamExec(const std::string& cmddo1, const std::string& user, ReplyStream& out);

// Runs the line with no descriptors open at all, waits for bash to end, returns "".
std::string noReturnExec(const std::string& cmddo1, const std::string& user);

#endif
