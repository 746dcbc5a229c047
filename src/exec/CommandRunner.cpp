// The command runner.
#include "exec/CommandRunner.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <functional>

#include "core/Log.h"
#include "core/Settings.h"
#include "exec/Child.h"
#include "exec/PeerWatch.h"

namespace {

// Bytes that follow the output in a reply: the runner's "\n" and the session's CR LF.
const size_t kReplyTail = 3;

// Reads until end of file. The string always keeps room for the reply's tail, so that
// appending it never copies a large output once more.
void readAll(int fd, std::string& into) {
  readToEnd(fd, [&](const char* data, size_t n) {
    const size_t need = into.size() + n + kReplyTail;
    if (need > into.capacity()) into.reserve(std::max(need, 2 * into.capacity()));
    into.append(data, n);
  });
}

// Logs `failure` as a warning and hands it on.
Result logged(Result failure) {
  Log_warn("%s", failure.text().c_str());
  return failure;
}

// Refuses (logged) a line that cannot reach bash whole.
Result lineRunnable(const std::string& line, const char* who) {
  const std::string problem = std::string("There was a problem with ") + who + ": the command line ";
  if (line.size() > kMaxCommandLine)
    return logged(Result::Failure(problem + "of " + std::to_string(line.size()) + " bytes is longer than " +
                                  std::to_string(kMaxCommandLine) + " bytes; nothing was run"));
  if (line.find('\0') != std::string::npos)
    return logged(Result::Failure(problem + "holds a NUL byte; nothing was run"));
  return Result();
}

enum class Outcome { NotStarted, NeverRan, Ran, Abandoned, Stopped };

// A command's output pipe holds this much, so that a fast writer and the reader each move large
// blocks per call.
const int kOutputPipeSize = 1 << 20;

// Runs `line` as `user` and waits for it. With `consume`, bash's descriptor 1 is a pipe that
// `consume` reads to its end (Ran), or gives up on (Abandoned, or Stopped: bash and its group
// are killed), and its descriptor 0 yields `input`; without, bash keeps no descriptor at all.
Outcome runChild(const std::string& line, const std::string& user, const std::function<Outcome(int)>* consume,
                 const std::string& input = std::string(), const GroupEntry* group = nullptr) {
  // Declared first so that it is waited for last: the pipe is closed before the wait, so a
  // child still writing cannot block it.
  CommandChild child;
  Fd outRead, outWrite;
  if (consume) {
    if (const Result piped = makePipe(outRead, outWrite); !piped) {
      Log_syserr("pipe()", piped.err());
      return Outcome::NotStarted;
    }
    fcntl(outWrite.get(), F_SETPIPE_SZ, kOutputPipeSize);  // a smaller pipe only costs speed
  }
  switch (child.start(user, line, consume ? outWrite.get() : -1, input, group)) {
    case ChildStatus::Ran:
      break;
    case ChildStatus::StartFailed:
      return Outcome::NotStarted;
    default:
      return Outcome::NeverRan;
  }
  outWrite.reset();
  const Outcome consumed = consume ? (*consume)(outRead.get()) : Outcome::Ran;
  if (consumed == Outcome::Stopped) {
    child.kill();
    Log_warn("%s", kPeerGoneWarning);
  }
  return consumed;
}

}  // namespace

ReplyStream::Sent CollectedReply::forward(int fd) {
  readAll(fd, text);
  return Sent::Whole;
}
bool CollectedReply::send(const char* data, size_t n) {
  text.append(data, n);
  return true;
}
void CollectedReply::finish(const std::string& last) { text += last; }
void CollectedReply::abandon() { text.clear(); }

ReplyStream::Sent UnwantedReply::forward(int fd) {
  readToEnd(fd, [](const char*, size_t) {});
  return Sent::Abandoned;
}

// runChild with the output collected: the output plus "\n" ("\n" alone when the command never
// ran as the account), and how it went in `outcome`. A failure (logged) when nothing could run.
static Valued<std::string> collectOutput(const std::string& cmddo1, const std::string& user,
                                         const std::string& input, const GroupEntry* group,
                                         Outcome& outcome) {
  if (const Result runnable = lineRunnable(cmddo1, "returnExec"); !runnable) return runnable;
  std::string result;
  try {
    const std::function<Outcome(int)> collect = [&](int fd) {
      readAll(fd, result);
      return Outcome::Ran;
    };
    outcome = runChild(cmddo1, user, &collect, input, group);
  } catch (const std::exception& e) {
    return logged(
        Result::Failure(std::string("There was a problem with returnExec(returndata): ") + e.what()));
  }
  // The child module logged why.
  if (outcome == Outcome::NotStarted)
    return Result::Failure("There was a problem with returnExec: no child started");
  result.push_back('\n');  // readAll kept room for it
  return Valued<std::string>(std::move(result));
}

Valued<std::string> runCommand(const std::string& cmddo1, const std::string& user, const std::string& input,
                               const GroupEntry* group) {
  Outcome outcome = Outcome::NotStarted;
  Valued<std::string> output = collectOutput(cmddo1, user, input, group, outcome);
  // The child module logged why; the lone line feed says nothing of what the command does.
  if (output && outcome == Outcome::NeverRan)
    return Result::Failure("There was a problem with returnExec: the command did not run as " + user);
  return output;
}

std::string returnExec(const std::string& cmddo1, const std::string& user) {
  return returnExec(cmddo1, user, std::string());
}

std::string returnExec(const std::string& cmddo1, const std::string& user, const std::string& input) {
  Outcome outcome = Outcome::NotStarted;
  return collectOutput(cmddo1, user, input, nullptr, outcome).value();
}

void streamExec(const std::string& cmddo1, const std::string& user, ReplyStream& out) {
  if (!lineRunnable(cmddo1, "returnExec")) return;
  try {
    const std::function<Outcome(int)> forward = [&](int fd) {
      switch (out.forward(fd)) {
        case ReplyStream::Sent::Whole:
          return Outcome::Ran;
        case ReplyStream::Sent::Abandoned:
          return Outcome::Abandoned;
        default:
          return Outcome::Stopped;
      }
    };
    const Outcome outcome = runChild(cmddo1, user, &forward);
    if (outcome == Outcome::Ran || outcome == Outcome::NeverRan) out.finish("\n");
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with returnExec: ") + e.what()).c_str());
  }
}

std::string noReturnExec(const std::string& cmddo1, const std::string& user) {
  if (!lineRunnable(cmddo1, "noReturnExec")) return std::string();
  try {
    runChild(cmddo1, user, nullptr);
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with noReturnExec: ") + e.what()).c_str());
  }
  return std::string();
}
