// Logging channels and the start-up error codes.
#include "core/ErrorHandler.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>

#include "core/Settings.h"

// One lock for every line written by this process to its standard streams or debug.txt.
static std::mutex log_mutex;
static std::atomic<bool> log_err_guarded{false};

bool LogEnabled() { return debug == "alwayson" || debug == "on"; }

void Log(const std::string& data) {
  if (debug == "alwayson") {
    std::lock_guard<std::mutex> lock(log_mutex);
    std::cout << data << '\n' << std::flush;
  } else if (debug == "on") {
    std::lock_guard<std::mutex> lock(log_mutex);
    logfile << data << '\n' << std::flush;
  }
}

void Log(const char* data) { Log(std::string(data ? data : "")); }

static std::string vformat(const char* fmt, va_list ap) {
  va_list measure;
  va_copy(measure, ap);
  const int n = vsnprintf(nullptr, 0, fmt, measure);
  va_end(measure);
  if (n <= 0) return std::string();
  std::string text(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&text[0], text.size(), fmt, ap);
  text.resize(static_cast<size_t>(n));
  return text;
}

bool StandardErrorIsJournal() {
  const char* stream = getenv("JOURNAL_STREAM");
  unsigned long long dev = 0, ino = 0;
  char end = 0;
  if (!stream || sscanf(stream, "%llu:%llu%c", &dev, &ino, &end) != 2) return false;
  struct stat st;
  return fstat(STDERR_FILENO, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

std::string JournalLines(int priority, const std::string& text) {
  const std::string prefix = "<" + std::to_string(priority) + ">";
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) out += prefix + text.substr(start, end - start) + '\n';
    start = end + 1;
  }
  return out.empty() ? prefix + '\n' : out;
}

// The one writer under every levelled function. Detached (and `toSystemLog`): the system log
// at `priority`. Otherwise standard error, one message a line: a line feed is added when the
// text has none, so that a journal reading the agent's standard error shows each message alone.
// When that stream is the journal, each line carries its level instead (JournalLines).
static void vlevelled(int priority, bool toSystemLog, const char* fmt, va_list ap) {
  std::string text = vformat(fmt, ap);
  if (toSystemLog && daemonized) {
    syslog(priority, "%s", text.c_str());
    return;
  }
  if (StandardErrorIsJournal()) {
    text = JournalLines(priority, text);
  } else if (text.empty() || text.back() != '\n') {
    text += '\n';
  }
  std::lock_guard<std::mutex> lock(log_mutex);
  fwrite(text.data(), 1, text.size(), stderr);
  fflush(stderr);
}

void Log_info(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlevelled(LOG_INFO, true, fmt, ap);
  va_end(ap);
}

void Log_warn(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlevelled(LOG_WARNING, true, fmt, ap);
  va_end(ap);
}

void Log_failure(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlevelled(LOG_ERR, true, fmt, ap);
  va_end(ap);
}

void GuardLogErr(bool guarded) { log_err_guarded = guarded; }

void Log_err(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlevelled(LOG_ERR, true, fmt, ap);
  va_end(ap);
  if (log_err_guarded) {
    Log_failure("The failure above ended one connection's work only; the agent goes on");
    throw WorkAborted();
  }
  exit(1);
}

void Log_debug(const char* fmt, ...) {
  if (debug != "on") return;
  va_list ap;
  va_start(ap, fmt);
  vlevelled(LOG_DEBUG, false, fmt, ap);
  va_end(ap);
}

void ErrorCall(int no) {
  switch (no) {
    case 1:
      Log_err("Couldn't read the config file");
    case 2:
      Log_err("There was an error loading the config. Error: Field is empty\n");
    case 3:
      Log_warn("Could not connect to database\n");
      break;
    case 4:
      Log_err("Error loading configuration. A setting wasn't loaded\n");
    case 5:
      Log_warn("Unable to open exelog\n");
      break;
    case 6:
      Log_warn("Unable to create thread, exiting process\n");
      break;
    default:
      break;
  }
}

void perror_quit(const char* msg) {
  perror(msg);
  exit(1);
}
