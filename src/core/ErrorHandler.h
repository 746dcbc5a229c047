// Logging: ordinary log lines (Log), whose destination the setting `debug` selects, and
// levelled messages (Log_info/warn/err/debug), which go to standard error before detaching
// and to the system log afterwards. Every function is safe to call from any thread.
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
// Logs at error level and ends the process with exit status 1.
[[noreturn]] void Log_err(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Logs at error level; the process goes on. Used by the parent of a child whose identity
// change failed, where the failure ends only that child.
void Log_failure(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Log_debug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Logs the fixed message of code `no`; codes 1, 2 and 4 end the process with status 1.
void ErrorCall(int no);

// Writes `msg`, ": " and the text of errno to standard error, then exits with status 1.
[[noreturn]] void perror_quit(const char* msg);

#endif
