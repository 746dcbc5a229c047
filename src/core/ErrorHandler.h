// Logging: ordinary log lines (Log), whose destination the setting `debug` selects, and
// levelled messages (Log_info/warn/failure/err/debug), written by one function: to standard
// error before detaching (one message a line) and to the system log afterwards. Every function
// is safe to call from any thread.
//
// Which channel each kind of failure uses:
//   - what happens on a connection, failures met while serving it included (a read that
//     fails, a reply that cannot be written, an exception caught at the session boundary):
//     ordinary log lines, Log;
//   - a refused request, a missing host program, an instruction that could not be carried
//     out: Log_warn;
//   - a failure that ends one piece of work while the agent goes on (a child whose identity
//     change failed, a thread that could not start): Log_failure;
//   - a failure before the agent listens that leaves it unable to run: Log_err (exit status
//     1), or perror_quit where the C library's error text says why. Once the agent listens,
//     Log_err ends only the calling thread's work (GuardLogErr);
//   - fixed texts are our own; a library's exception wording is never a log text of its own.
#ifndef KADREL_CORE_ERRORHANDLER_H
#define KADREL_CORE_ERRORHANDLER_H

#include <string>

// True when ordinary log lines are written somewhere ("alwayson" or "on"); lets callers skip
// composing a line nobody will read.
bool LogEnabled();

// One ordinary log line (no line feed in `data`); one process-wide lock per line.
void Log(const char* data);
void Log(const std::string& data);

void Log_info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Log_warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Logs at error level and ends the process with exit status 1; once guarded (see GuardLogErr)
// it throws WorkAborted instead.
[[noreturn]] void Log_err(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Logs at error level; the process goes on. Used by the parent of a child whose identity
// change failed, where the failure ends only that child.
void Log_failure(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Written only with `debug` "on", to standard error (never the system log).
void Log_debug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Thrown by a guarded Log_err: it ends the calling thread's work (for a worker thread, its
// connection, which LoadThread then closes), never the process. Deliberately not a
// std::exception, so that no handler meant for ordinary failures takes it for one.
struct WorkAborted {};

// The listener calls GuardLogErr(true) once it listens: from then on a Log_err (which the
// agent's own code reaches only before that) cannot end the root daemon by mistake. It logs
// the message, adds a note at error level, and throws WorkAborted.
void GuardLogErr(bool guarded);

// Logs the fixed message of code `no`; codes 1, 2 and 4 end the process with status 1.
void ErrorCall(int no);

// True when standard error is the service manager's journal stream (JOURNAL_STREAM names its
// device and inode): levelled messages written there then carry their syslog level.
bool StandardErrorIsJournal();

// `text` as the journal reads levels from a stream: every non-empty line prefixed with
// "<priority>" and ended with a line feed, empty lines dropped (an empty text: one empty line).
std::string JournalLines(int priority, const std::string& text);

// Writes `msg`, ": " and the text of errno to standard error, then exits with status 1.
[[noreturn]] void perror_quit(const char* msg);

#endif
