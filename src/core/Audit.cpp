// Audit lines and their one writer.
#include "core/Audit.h"

#include <paths.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/Settings.h"

std::string AuditField(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u > ' ' && u < 0x7f && c != '\\' && c != '"') {
      out += c;
    } else {
      // By hand, not with printf: its machinery is deep on a worker's stack.
      static const char digits[] = "0123456789abcdef";
      out += "\\x";
      out += digits[u >> 4];
      out += digits[u & 15];
    }
  }
  return out;
}

std::string AuditHandshakeLine(const std::string& peer, const char* failedCheck) {
  // In one block (one for every connection): what a worker's thread freed, it keeps.
  std::string line;
  line.reserve(64);
  line.append("audit: handshake peer=").append(AuditField(peer));
  if (!failedCheck)
    line.append(" result=accepted");
  else
    line.append(" result=refused check=").append(failedCheck);
  return line;
}

static std::string exitText(int waitStatus) {
  if (waitStatus < 0) return "-";
  if (WIFSIGNALED(waitStatus)) return "signal:" + std::to_string(WTERMSIG(waitStatus));
  return std::to_string(WEXITSTATUS(waitStatus));
}

std::string AuditInstructionLine(const InstructionAudit& entry) {
  return "audit: instruction peer=" + AuditField(entry.peer) + " user=" + AuditField(entry.user) +
         " name=" + (entry.name.empty() ? std::string("(command)") : AuditField(entry.name)) +
         " reply_bytes=" + std::to_string(entry.replyBytes) + " exit=" + exitText(entry.waitStatus) +
         " duration_ms=" + std::to_string(entry.durationMs);
}

// The audit trail's own connection to the system logger. The C library's syslog() runs 3.6 KiB
// deep (its stream and printf machinery): called on a worker's stack, that is one more page
// for every idle connection. So the record is composed here, on the heap, and sent as the C
// library would send it ("<PRI>Mmm dd hh:mm:ss kadrel[PID]: LINE", one datagram; on a stream
// socket ended by a NUL). Without a logger the line is dropped, never written to the console (a
// line per connection has no place there, and writing it costs milliseconds); a connection is
// tried at most once a second then, since trying costs more than the rest of an audit line. A
// logger that restarts is reached again by the next line.
static std::mutex log_mutex;
static int log_fd = -1;
static int log_type = SOCK_DGRAM;
static long long log_tried_ms = LLONG_MIN;

static bool connectSystemLog() {
  const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
  if (log_tried_ms != LLONG_MIN && now - log_tried_ms < 1000) return false;
  log_tried_ms = now;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, _PATH_LOG, sizeof addr.sun_path - 1);
  for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
    log_fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (log_fd >= 0 && connect(log_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      log_type = type;
      log_tried_ms = LLONG_MIN;
      return true;
    }
    const bool otherType = errno == EPROTOTYPE;
    if (log_fd >= 0) close(log_fd);
    log_fd = -1;
    if (!otherType) break;
  }
  return false;
}

// Appends `v` (0 to 99) in two characters, the first `pad` below 10.
static char* two(char* at, int v, char pad) {
  *at++ = v < 10 ? pad : static_cast<char>('0' + v / 10);
  *at++ = static_cast<char>('0' + v % 10);
  return at;
}

// The record's head, "<PRI>Mmm dd hh:mm:ss kadrel[PID]: ", as syslog() writes it (local time,
// the day padded with a blank); by hand, since strftime and printf run deep too. Returns its end.
static char* recordHead(char* at, char* end, int priority) {
  static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  *at++ = '<';
  at = std::to_chars(at, end, priority).ptr;
  *at++ = '>';
  const time_t now = time(nullptr);
  struct tm t;
  if (localtime_r(&now, &t) != nullptr) {
    at = std::copy(months + 3 * t.tm_mon, months + 3 * t.tm_mon + 3, at);
    *at++ = ' ';
    at = two(at, t.tm_mday, ' ');
    *at++ = ' ';
    at = two(at, t.tm_hour, '0');
    *at++ = ':';
    at = two(at, t.tm_min, '0');
    *at++ = ':';
    at = two(at, t.tm_sec, '0');
    *at++ = ' ';
  }
  at = std::copy(kSystemLogName, kSystemLogName + sizeof kSystemLogName - 1, at);
  *at++ = '[';
  at = std::to_chars(at, end, getpid()).ptr;
  return std::copy(&"]: "[0], &"]: "[3], at);
}

void Audit(const std::string& line, bool refused) {
  if (!settings().audit) return;
  // The head on the stack and the line where it is, sent together: no copy of the line, and no
  // block a worker's thread would keep for the next one.
  char head[64];
  const char* headEnd = recordHead(head, head + sizeof head, LOG_AUTH | (refused ? LOG_NOTICE : LOG_INFO));
  iovec parts[3] = {{head, static_cast<size_t>(headEnd - head)},
                    {const_cast<char*>(line.data()), line.size()},
                    {const_cast<char*>(""), 1}};
  const size_t size = parts[0].iov_len + parts[1].iov_len;
  std::lock_guard<std::mutex> lock(log_mutex);
  // A logger that restarted refuses the first send on the old connection: one more try.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (log_fd < 0 && !connectSystemLog()) return;
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = log_type == SOCK_STREAM ? 3 : 2;  // on a stream, a NUL ends the record
    if (sendmsg(log_fd, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(size + (log_type == SOCK_STREAM)))
      return;
    close(log_fd);
    log_fd = -1;
  }
}
