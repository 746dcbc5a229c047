// Detaching.
#include "agent/Daemon.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "core/Log.h"
#include "core/Settings.h"

// Write end of the pipe on which the daemon tells the started process whether it listens.
static int ready_fd = -1;

// The started process: wait for the daemon's word and end with the matching status.
[[noreturn]] static void waitForDaemon(int fd, pid_t intermediate) {
  std::string message;
  char buf[512];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      message.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  int status = 0;
  while (waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
  }
  if (message == "OK") _exit(0);
  if (!message.empty() && message[0] == 'E') Log_failure("Error: %s", message.substr(1).c_str());
  _exit(1);
}

void Daemonize(const char* cmd) {
  if (settings().debug == DebugMode::Foreground) return;

  umask(0);

  // A socket pair rather than a pipe: the daemon's report is sent with MSG_NOSIGNAL, so a
  // starter that is gone cannot kill the daemon with SIGPIPE.
  int ready[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ready) < 0) perror_quit("socketpair()");

  pid_t pid = fork();
  if (pid < 0) Log_err("Can't fork");
  if (pid != 0) {
    close(ready[1]);
    waitForDaemon(ready[0], pid);
  }
  close(ready[0]);

  setsid();
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  if (sigaction(SIGHUP, &sa, nullptr) < 0) perror_quit("Can't ignore SIGHUP");

  pid = fork();
  if (pid < 0) perror_quit("Can't fork");
  if (pid != 0) _exit(0);  // the intermediate process; the started one reports for both

  // Close everything but the report pipe, then put /dev/null on 0, 1 and 2.
  ready_fd = ready[1];
  if (ready_fd > 0) syscall(SYS_close_range, 0U, static_cast<unsigned>(ready_fd - 1), 0U);
  syscall(SYS_close_range, static_cast<unsigned>(ready_fd + 1), ~0U, 0U);
  int fd0 = open("/dev/null", O_RDWR);
  int fd1 = dup(0);
  int fd2 = dup(0);

  openlog(cmd, LOG_CONS | LOG_PID, LOG_DAEMON);
  if (fd0 != 0 || fd1 != 1 || fd2 != 2) {
    syslog(LOG_ERR, "unexpected file descriptors %d %d %d", fd0, fd1, fd2);
    exit(1);
  }

  OpenLogFile("debug.txt");
  SetDaemonized();
}

void DaemonReport(bool ok, const std::string& error) {
  if (ready_fd < 0) return;
  std::string word = ok ? std::string("OK") : "E" + error;
  if (send(ready_fd, word.data(), word.size(), MSG_NOSIGNAL) < 0) {
  }
  close(ready_fd);
  ready_fd = -1;
}
