// The command runner.
#include "dispatch/CommandRunner.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "core/ErrorHandler.h"
#include "core/Settings.h"
#include "dispatch/Child.h"

namespace {

// Bytes that follow the output in a reply: the runner's "\n" and the session's CR LF.
const size_t kReplyTail = 3;

// Reads until end of file, in large blocks. Retries interrupted reads. The string always keeps
// room for the reply's tail, so that appending it never copies a large output once more.
void readAll(int fd, std::string* into) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      if (!into) continue;
      const size_t need = into->size() + static_cast<size_t>(n) + kReplyTail;
      if (need > into->capacity()) into->reserve(std::max(need, 2 * into->capacity()));
      into->append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

// Refuses a line that cannot reach bash whole.
bool lineRunnable(const std::string& line, const char* who) {
  if (line.size() > kMaxCommandLine) {
    Log_warn(
        "There was a problem with %s: the command line of %zu bytes is longer than %zu bytes; nothing was "
        "run",
        who, line.size(), kMaxCommandLine);
    return false;
  }
  if (line.find('\0') != std::string::npos) {
    Log_warn("There was a problem with %s: the command line holds a NUL byte; nothing was run", who);
    return false;
  }
  return true;
}

enum class Outcome { NotStarted, NeverRan, Ran };

// Runs `line` as `user` and waits for it. With `output`, bash's descriptor 1 is a pipe whose
// contents are appended to *output; without, bash keeps no descriptor at all.
Outcome runChild(const std::string& line, const std::string& user, std::string* output) {
  Fd outRead, outWrite;
  if (output && !makePipe(outRead, outWrite)) {
    perror("pipe()");
    return Outcome::NotStarted;
  }
  CommandChild child;
  switch (child.start(user, line, output ? outWrite.get() : -1)) {
    case ChildStatus::Ran:
      break;
    case ChildStatus::StartFailed:
      return Outcome::NotStarted;
    default:
      return Outcome::NeverRan;
  }
  outWrite.reset();
  // However this function is left, stop reading before waiting, so that a child still
  // writing cannot block the wait.
  struct Reaper {
    CommandChild& child;
    Fd& out;
    ~Reaper() {
      out.reset();
      child.wait();
    }
  } reaper{child, outRead};
  if (output) readAll(outRead.get(), output);
  return Outcome::Ran;
}

}  // namespace

std::string returnExec(const std::string& cmddo1, const std::string& user) {
  if (!lineRunnable(cmddo1, "returnExec")) return std::string();
  std::string result;
  Outcome outcome;
  try {
    outcome = runChild(cmddo1, user, &result);
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with returnExec(returndata): ") + e.what()).c_str());
    return std::string();
  }
  if (outcome == Outcome::NotStarted) return std::string();
  try {
    result.push_back('\n');
  } catch (const std::exception& e) {
    Log_warn("%s", (std::string("There was a problem with returnExec: ") + e.what()).c_str());
    return std::string();
  }
  return result;
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
