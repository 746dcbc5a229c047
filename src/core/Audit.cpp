// Audit lines and their one writer.
#include "core/Audit.h"

#include <paths.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>

#include "core/Settings.h"

std::string AuditField(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u > ' ' && u < 0x7f && c != '\\' && c != '"') {
      out += c;
    } else {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    }
  }
  return out;
}

std::string AuditHandshakeLine(const std::string& peer, const char* failedCheck) {
  std::string line = "audit: handshake peer=" + AuditField(peer);
  if (!failedCheck) return line + " result=accepted";
  return line + " result=refused check=" + failedCheck;
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

// True when a system logger's socket is there. Without one, the C library would write each
// record to the console (the fallback the detached agent's warnings keep): a line per
// connection has no place on the console, and writing it there costs milliseconds. Looked up
// at most once a second: the lookup costs more than the rest of an audit line, most of all
// when there is no logger. A logger that goes away is noticed within that second.
static bool systemLogListening() {
  static std::atomic<long long> checkedAt{LLONG_MIN};
  static std::atomic<bool> listening{false};
  const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
  const long long last = checkedAt.load(std::memory_order_relaxed);
  if (last != LLONG_MIN && now - last < 1000) return listening.load(std::memory_order_relaxed);
  struct stat st;
  const bool there = stat(_PATH_LOG, &st) == 0 && S_ISSOCK(st.st_mode);
  listening.store(there, std::memory_order_relaxed);
  checkedAt.store(now, std::memory_order_relaxed);
  return there;
}

void Audit(const std::string& line, bool refused) {
  if (!settings().audit || !systemLogListening()) return;
  syslog(LOG_AUTH | (refused ? LOG_NOTICE : LOG_INFO), "%s", line.c_str());
}
