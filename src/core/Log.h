// The agent's one logger: ordinary log lines (Log), whose destination the setting `debug`
// selects, and levelled messages (Log_warn/failure/err), written by one function: to standard
// error before detaching (one message a line) and to the system log afterwards, and then to
// "debug.txt" too when `debug` chose that file. Nothing else in the agent writes to its
// standard output or error. Every function is safe to call from any thread.
//
// Which channel each kind of failure uses:
//   - what happens on a connection, failures met while serving it included (a read that
//     fails, a reply that cannot be written, an exception caught at the session boundary):
//     ordinary log lines, Log;
//   - a refused request, a missing host program, an instruction that could not be carried
//     out: Log_warn;
//   - a failure that ends one piece of work while the agent goes on (a child whose identity
//     change failed, a thread that could not start): Log_failure;
//   - a system call that failed where the errno says why (a pipe, a fork, an exec): Log_syserr,
//     in the C library's error-printer form ("pipe(): Too many open files");
//   - a failure before the agent listens that leaves it unable to run: Log_err (exit status
//     1), or perror_quit where the C library's error text says why. Once the agent listens,
//     Log_err ends only the calling thread's work (GuardLogErr);
//   - the leading text is always our own; a library's exception text may follow it (after
//     "There was a problem with NAME: "), never stand alone as a message.
#ifndef KADREL_CORE_LOG_H
#define KADREL_CORE_LOG_H

#include <string>

// True when ordinary log lines are written somewhere ("alwayson" or "on"); lets callers skip
// composing a line nobody will read.
bool LogEnabled();

// One ordinary log line (no line feed in `data`); one process-wide lock per line.
void Log(const char* data);
void Log(const std::string& data);

void Log_warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Logs at error level and ends the process with exit status 1; once guarded (see GuardLogErr)
// it throws WorkAborted instead.
[[noreturn]] void Log_err(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Logs at error level; the process goes on. Used by the parent of a child whose identity
// change failed, where the failure ends only that child.
void Log_failure(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Log_failure of "`call`: " and the text of `err`, as the C library's error printer writes it.
void Log_syserr(const char* call, int err);

// Once detached: ordinary lines go to `path` (with `debug` "on"), created or truncated as a
// file only the agent's user can read and write. False when it could not be opened; the lines
// are then dropped.
bool OpenLogFile(const char* path);
// Once detached: levelled messages go to the system log, opened by the caller.
void SetDaemonized();

// Thrown by a guarded Log_err: it ends the calling thread's work (for a worker thread, its
// connection, which ServeConnection then closes), never the process. Deliberately not a
// std::exception, so that no handler meant for ordinary failures takes it for one.
struct WorkAborted {};

// The listener calls GuardLogErr(true) once it listens: from then on a Log_err (which the
// agent's own code reaches only before that) cannot end the root daemon by mistake. It logs
// the message, adds a note at error level, and throws WorkAborted.
void GuardLogErr(bool guarded);

// True when standard error is the service manager's journal stream (JOURNAL_STREAM names its
// device and inode): levelled messages written there then carry their syslog level.
bool StandardErrorIsJournal();

// `text` as the journal reads levels from a stream: every non-empty line prefixed with
// "<priority>" and ended with a line feed, empty lines dropped (an empty text: one empty line).
std::string JournalLines(int priority, const std::string& text);

// Log_syserr(msg, errno), then exits with status 1.
[[noreturn]] void perror_quit(const char* msg);

#endif
