// Logging channels and the start-up error codes.
#include "core/ErrorHandler.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>

#include "core/Settings.h"

static std::mutex log_mutex;

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

static void vlevel(int priority, const char* fmt, va_list ap) {
  if (daemonized) {
    vsyslog(priority, fmt, ap);
  } else {
    vfprintf(stderr, fmt, ap);
    fflush(stderr);
  }
}

void Log_info(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlevel(LOG_INFO, fmt, ap);
  va_end(ap);
}

void Log_warn(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlevel(LOG_WARNING, fmt, ap);
  va_end(ap);
}

void Log_failure(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlevel(LOG_ERR, fmt, ap);
  va_end(ap);
}

void Log_err(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlevel(LOG_ERR, fmt, ap);
  va_end(ap);
  exit(1);
}

void Log_debug(const char* fmt, ...) {
  if (debug != "on") return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  fflush(stderr);
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
