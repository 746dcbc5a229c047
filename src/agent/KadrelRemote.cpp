// The agent's entry point: configuration, host-program check, detaching, then the listener,
// which accepts connections for ever and hands each to a worker thread.
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "agent/Daemon.h"
#include "agent/HostCheck.h"
#include "agent/Metrics.h"
#include "core/Audit.h"
#include "core/Log.h"
#include "core/Metrics.h"
#include "core/Settings.h"
#include "dispatch/InstructionTable.h"
#include "exec/ServiceGroups.h"
#include "handlers/servicelimits.h"
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

// Waits on `server` for the next connection and admits it: a source serving a penalty is closed
// at once; otherwise the connection counts against the cap on unauthenticated connections until
// it authenticates. The listening thread and waiting workers wait here alike. A passing accept
// failure is logged and waited out; any other is left in `failure`.
static Workers::Took takeConnection(const Listener& server, Connection& into, Result* failure = nullptr) {
  const Result accepted = server.accept(settings().whitelist, into);
  if (!accepted) {
    if (!transientAcceptError(accepted.err())) {
      if (failure) *failure = accepted;
      return Workers::Took::Failed;
    }
    Log("Error: " + accepted.text() + " (" + strerror(accepted.err()) + "), accepting again");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return Workers::Took::Nothing;
  }
  if (!into.is_valid()) return Workers::Took::Idle;
  if (!admission().admit(into.fd(), into.peer().sin_addr.s_addr)) {
    into.close();
    return Workers::Took::Nothing;
  }
  return Workers::Took::Connection;
}

// SIGPIPE does nothing: a write to a closed pipe or socket fails with EPIPE instead of ending
// the agent. A handler rather than SIG_IGN, because exec resets handlers but keeps an ignored
// disposition, and the commands the agent runs expect the default.
static void ignoreSignal(int) {}

// Game servers in control groups where the host allows; otherwise, one warning saying why, and
// each service is the session's processes as they are found.
static void SetUpGroups() {
  std::string why = "service_groups=off in kadrel.ini";
  if (isFreeBSD())
    why = "this agent is built for FreeBSD";
  else if (settings().serviceGroups && SetUpServiceGroups(why))
    return reapplyServiceLimits();
  Log_warn("Game servers run without control groups of their own: %s", why.c_str());
}

int main() {
  const long long startTime = static_cast<long long>(time(nullptr));
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
  openlog(kSystemLogName, LOG_PID, LOG_DAEMON);
  if (!CheckHostPrograms()) return 1;
  // Descriptors inherited from whoever started the agent never reach its commands.
  syscall(SYS_close_range, 3U, ~0U, static_cast<unsigned>(CLOSE_RANGE_CLOEXEC));

  Daemonize(kSystemLogName);
  Log("Kadrel-Remote Started");
  if (settings().shaPasswords) Log("- with shar passwords");
  // Before any thread: under the service manager the agent moves itself into a group of its own.
  SetUpGroups();
  SizeInstructionMetrics(instruction_table.size() + 1);

  // Never destroyed: waiting workers accept on it for as long as the process runs.
  static Listener* const server = new Listener();
  Result outcome = server->listen(settings().listenport, settings().reply_timeout);
  if (outcome) {
    server->set_accept_timeout(settings().worker_idle_seconds);
    // Only an agent that serves writes metrics: one that cannot start ends with no thread of it.
    StartMetricsWriter(startTime);
    Workers& pool = workers([](Connection& into) { return takeConnection(*server, into); });
    // From here on a worker thread's Log_err must end its own work, never the daemon.
    GuardLogErr(true);
    DaemonReport(true, std::string());
    for (;;) {
      // While workers wait for connections, they take them; this thread takes the rest and
      // gives each a thread of its own.
      pool.waitUntilNoneIdle();
      Connection connection;
      const Workers::Took took = takeConnection(*server, connection, &outcome);
      if (took == Workers::Took::Failed) break;
      if (took != Workers::Took::Connection) continue;
      if (!pool.run(connection)) {
        Log_failure("pthread_create() #%d: the connection is closed unserved", errno);
        admission().leave(connection.fd());
      }
    }
  }
  DaemonReport(false, outcome.text());
  Log("Error: " + outcome.text());
  // Worker threads may still run: the destructors of exit() would pull what they use from under
  // them, so the process ends without running any.
  fflush(nullptr);
  _exit(1);
}
