// The logger: every channel of Log.h, each line written whole under one lock.
#include "core/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/Settings.h"

// One lock for every line written by this process to its standard streams or debug.txt.
static std::mutex log_mutex;
static std::atomic<bool> log_err_guarded{false};
// "debug.txt" once detached (OpenLogFile); -1 before, or when it could not be opened.
static int log_file = -1;
// True once detached: levelled messages go to the system log.
static bool daemonized = false;

bool LogEnabled() { return settings().debug != DebugMode::Off; }

// Writes `line` whole, retrying short and interrupted writes; a failure drops the rest.
static void writeLine(int fd, const std::string& line) {
  const char* p = line.data();
  size_t n = line.size();
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// The ordinary line's destination, or -1 for none.
static int ordinaryDestination() {
  if (settings().debug == DebugMode::Foreground) return STDOUT_FILENO;
  if (settings().debug == DebugMode::File) return log_file;
  return -1;
}

void Log(const std::string& data) {
  const int fd = ordinaryDestination();
  if (fd < 0) return;
  std::lock_guard<std::mutex> lock(log_mutex);
  writeLine(fd, data + '\n');
}

bool OpenLogFile(const char* path) {
  // Commands run by the agent inherit a cleared file-creation mask, so the mode is set here:
  // the log names accounts, paths and peers and is root's alone, whatever was there before.
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  if (fchown(fd, geteuid(), getegid()) != 0 || fchmod(fd, 0600) != 0) {
    close(fd);
    return false;
  }
  log_file = fd;
  return true;
}

void SetDaemonized() { daemonized = true; }

void Log(const char* data) {
  // Off, a line costs no copy.
  if (ordinaryDestination() >= 0) Log(std::string(data ? data : ""));
}

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
static void vlevelled(int priority, const char* fmt, va_list ap) {
  std::string text = vformat(fmt, ap);
  if (daemonized) {
    syslog(priority, "%s", text.c_str());
    // Whoever chose the debug file reads it: a failure shows there as well.
    if (settings().debug == DebugMode::File && log_file >= 0) {
      std::lock_guard<std::mutex> lock(log_mutex);
      writeLine(log_file, text.empty() || text.back() != '\n' ? text + '\n' : text);
    }
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

void Log_warn(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlevelled(LOG_WARNING, fmt, ap);
  va_end(ap);
}

void Log_failure(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlevelled(LOG_ERR, fmt, ap);
  va_end(ap);
}

void GuardLogErr(bool guarded) { log_err_guarded = guarded; }

void Log_err(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlevelled(LOG_ERR, fmt, ap);
  va_end(ap);
  if (log_err_guarded) {
    Log_failure("The failure above ended one connection's work only; the agent goes on");
    throw WorkAborted();
  }
  exit(1);
}

void Log_syserr(const char* call, int err) { Log_failure("%s: %s", call, strerror(err)); }

void perror_quit(const char* msg) {
  Log_syserr(msg, errno);
  exit(1);
}
