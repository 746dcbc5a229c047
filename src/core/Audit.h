// The audit trail: one line per handshake and per instruction run, to the system log under
// facility auth, whatever `debug` says; the setting `audit` turns it off. Lines never hold a
// secret, a file's contents or an instruction's arguments. Safe to call from any thread.
#ifndef KADREL_CORE_AUDIT_H
#define KADREL_CORE_AUDIT_H

#include <string>

// `value` as one field of an audit line: every byte outside printable ASCII, the blank, '\'
// and '"' written as \xHH, so that text a customer typed can neither break the line nor
// forge a field.
std::string AuditField(const std::string& value);

// "audit: handshake peer=ADDRESS result=accepted", or with `failedCheck` (the check that
// refused it) "audit: handshake peer=ADDRESS result=refused check=CHECK".
std::string AuditHandshakeLine(const std::string& peer, const char* failedCheck);

struct InstructionAudit {
  std::string peer;
  std::string user;  // the acting account, as the panel named it
  std::string name;  // the instruction's name; empty for a command line run as one
  unsigned long long replyBytes = 0;
  int waitStatus = -1;  // of the last command the instruction ran; -1: none ran
  long long durationMs = 0;
};

// "audit: instruction peer=... user=... name=... reply_bytes=N exit=E duration_ms=N", where E
// is the exit status, "signal:N" for a command a signal ended, or "-" when no command ran;
// name is "(command)" for a command line the panel sent in place of an instruction's name.
std::string AuditInstructionLine(const InstructionAudit& entry);

// The name the agent's records carry in the system log.
const char kSystemLogName[] = "kadrel";

// Writes `line` to the system log, facility auth, priority info (notice for a refused
// handshake), unless the setting `audit` is off, in the record the C library's syslog() would
// send, but without running its stream machinery on the caller's stack. With no system logger
// running (no socket at /dev/log) the line is dropped, never written to the console.
void Audit(const std::string& line, bool refused = false);

#endif
