// Audit lines and their one writer.
#include "core/Audit.h"

#include <paths.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>

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
// connection has no place on the console, and writing it there costs milliseconds.
static bool systemLogListening() {
  struct stat st;
  return stat(_PATH_LOG, &st) == 0 && S_ISSOCK(st.st_mode);
}

void Audit(const std::string& line, bool refused) {
  if (!settings().audit || !systemLogListening()) return;
  syslog(LOG_AUTH | (refused ? LOG_NOTICE : LOG_INFO), "%s", line.c_str());
}
