// The agent's entry point: configuration, host-program check, detaching, then the listener,
// which accepts connections for ever and hands each to a worker thread.
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "agent/Daemon.h"
#include "agent/HostCheck.h"
#include "core/ErrorHandler.h"
#include "core/Settings.h"
#include "session/Admission.h"
#include "session/Workers.h"
#include "sockets/Listener.h"
#include "sockets/Tls.h"

// Failures of accept that pass: the agent pauses and accepts again.
static bool transientAcceptError(int err) {
  switch (err) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ECONNABORTED:
    case EINTR:
    case EPROTO:
      return true;
    default:
      return false;
  }
}

// Hands `connection` to a worker thread; on failure closes that one connection.
static void startWorker(Connection& connection) {
  if (!workers().run(connection)) {
    Log_failure("Fatal Error: pthread_create() #%d", errno);
    admission().leave(connection.fd());
  }
}

// SIGPIPE does nothing: a write to a closed pipe or socket fails with EPIPE instead of ending
// the agent. A handler rather than SIG_IGN, because exec resets handlers but keeps an ignored
// disposition, and the commands the agent runs expect the default.
static void ignoreSignal(int) {}

int main() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = ignoreSignal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGPIPE, &sa, nullptr);
  LoadConfig();
  LoadTls();
  // The audit trail goes to the system log under this name in the foreground too; detaching
  // opens it again for the levelled messages.
  openlog("kadrel", LOG_PID, LOG_DAEMON);
  if (!CheckHostPrograms()) return 0;
  // Descriptors inherited from whoever started the agent never reach its commands.
  syscall(SYS_close_range, 3U, ~0U, static_cast<unsigned>(CLOSE_RANGE_CLOEXEC));

  Daemonize("kadrel");
  Log("Kadrel-Remote Started");
  if (settings().shaPasswords) Log("- with shar passwords");

  try {
    Listener server(settings().listenport, settings().reply_timeout);
    // From here on a worker thread's Log_err must end its own work, never the daemon.
    GuardLogErr(true);
    DaemonReport(true, std::string());
    for (;;) {
      Connection connection;
      try {
        connection = server.accept(settings().whitelist);
      } catch (SocketException& e) {
        if (!transientAcceptError(e.error())) throw;
        Log("Error: " + e.description() + " (" + strerror(e.error()) + "), accepting again");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      // A source serving a penalty is closed at once; otherwise the connection counts against
      // the cap on unauthenticated connections until it authenticates.
      if (!admission().admit(connection.fd(), connection.peer().sin_addr.s_addr)) continue;
      startWorker(connection);
    }
  } catch (SocketException& e) {
    DaemonReport(false, e.description());
    Log("Error: " + e.description());
  }
  return 0;
}
