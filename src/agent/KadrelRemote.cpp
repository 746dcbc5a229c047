// The agent's entry point: configuration, host-program check, detaching, then the listener,
// which accepts connections for ever and hands each to a detached worker thread.
#include <linux/close_range.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "agent/Daemon.h"
#include "agent/HostCheck.h"
#include "core/ErrorHandler.h"
#include "core/Settings.h"
#include "session/KadrelConnection.h"
#include "sockets/ServerSocket.h"

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

// Hands `sock` to a detached worker thread; on failure closes that one connection.
static void startWorker(ServerSocket* sock) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, LoadThread, sock);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    Log_failure("Fatal Error: pthread_create() #%d", rc);
    delete sock;
  }
}

int main() {
  LoadConfig();
  if (!CheckHostPrograms()) return 0;
  // Descriptors inherited from whoever started the agent never reach its commands.
  syscall(SYS_close_range, 3U, ~0U, static_cast<unsigned>(CLOSE_RANGE_CLOEXEC));

  Daemonize("kadrel");
  Log("Kadrel-Remote Started");
  if (isSha5Set()) Log("- with shar passwords");

  try {
    ServerSocket server(listenport);
    // From here on a worker thread's Log_err must end its own work, never the daemon.
    GuardLogErr(true);
    DaemonReport(true, std::string());
    for (;;) {
      ServerSocket* new_sock = new ServerSocket;
      try {
        server.accept(*new_sock);
      } catch (SocketException& e) {
        delete new_sock;
        if (!transientAcceptError(e.error())) throw;
        Log("Error: " + e.description() + " (" + strerror(e.error()) + "), accepting again");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      startWorker(new_sock);
    }
  } catch (SocketException& e) {
    DaemonReport(false, e.description());
    Log("Error: " + e.description());
  }
  return 0;
}
