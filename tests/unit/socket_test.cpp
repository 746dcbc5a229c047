// The peer allow-list applied when a connection is accepted, and a command's output sent from
// its pipe to the peer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <tuple>

#include "sockets/AllowList.h"
#include "sockets/Connection.h"

namespace {

TEST(Access, AllowListNeedsExactEntries) {
  const std::string in = "Allowed login from known ip", out = "Denied login from unknown ip";
  // List, peer, allowed, the line to log ("" when no check was made).
  const std::tuple<const char*, const char*, bool, std::string> rows[] = {
      {"", "10.0.0.3", true, ""},
      {";10.0.0.1", "10.0.0.3", true, ""},  // an empty first entry switches the check off
      {"10.0.0.1;;10.0.0.2", "10.0.0.2", true, in},
      {"10.0.0.1;10.0.0.2", "10.0.0.", false, out},
      {"10.0.0.1;10.0.0.2", "10.0.0.12", false, out},
      {"10.0.0.1 ;10.0.0.2", "10.0.0.1", false, out},
      {"10.0.0.1;", "10.0.0.3", false, out}};
  for (const auto& [list, ip, allowed, line] : rows) {
    std::string logged = "stale";
    EXPECT_EQ(allowed, whitelistAllows(list, ip, logged)) << list << " / " << ip;
    EXPECT_EQ(line, logged) << list << " / " << ip;
  }
}

// A Connection on one end of a socket pair, sending a pipe's contents (spliced, or copied as to a
// peer on the loopback interface) while one thread writes the pipe and another reads the peer.
struct PipeToPeer {
  explicit PipeToPeer(bool loopback, size_t size, size_t readBeforeClosing = SIZE_MAX) {
    int sv[2], p[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
    sockaddr_in addr = sockaddr_in();
    if (loopback) addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sock = Connection(sv[0], addr);
    for (size_t i = 0; i < size; ++i) sent.push_back(static_cast<char>(i * 7 % 251));  // NULs too
    std::thread writer([this, fd = p[1]] {
      for (size_t done = 0; done < sent.size();) {
        ssize_t n = write(fd, sent.data() + done, sent.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      close(fd);
    });
    std::thread reader([this, fd = sv[1], readBeforeClosing] {
      char buf[65536];
      ssize_t n;
      while (received.size() < readBeforeClosing && (n = read(fd, buf, sizeof buf)) > 0)
        received.append(buf, static_cast<size_t>(n));
      close(fd);
    });
    delivered = sock.send_from_pipe(p[0], moved);
    writer.join();
    sock.close();
    reader.join();
    close(p[0]);
  }
  Connection sock;
  std::string sent, received;
  unsigned long long moved = 0;
  bool delivered = false;
};

// Whole output, and a peer that leaves after 1 MiB: the rest is taken from the pipe and
// dropped, so its writer ends, and the SIGPIPE of the failed write neither ends this process
// nor stays pending.
TEST(SendFromPipe, OutputArrivesWholeOrThePipeIsDrainedWithoutASignal) {
  for (bool loopback : {false, true}) {
    PipeToPeer whole(loopback, 9 << 20), gone(loopback, 9 << 20, 1 << 20);
    EXPECT_TRUE(whole.delivered && whole.received == whole.sent) << loopback << ": " << whole.received.size();
    EXPECT_FALSE(gone.delivered) << loopback;
    EXPECT_EQ(whole.moved, whole.sent.size()) << loopback;
    EXPECT_EQ(gone.moved, gone.sent.size()) << loopback;
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE)) << loopback;
  }
}

// A non-blocking pipe whose writer is still busy is sent as far as it holds bytes, which is not a
// failed send; the pipe's end later is the end of the output.
TEST(SendFromPipe, NonBlockingPipeIsSentAsFarAsItHolds) {
  for (bool loopback : {false, true}) {
    int sv[2], p[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    sockaddr_in addr = sockaddr_in();
    if (loopback) addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Connection sock(sv[0], addr);
    const std::string first(5000, 'a');
    ASSERT_EQ(write(p[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    unsigned long long moved = 0;
    EXPECT_TRUE(sock.send_from_pipe(p[0], moved)) << loopback;
    EXPECT_EQ(moved, first.size()) << loopback;
    ASSERT_EQ(write(p[1], "bc", 2), 2);  // the pipe was not drained and dropped
    close(p[1]);
    EXPECT_TRUE(sock.send_from_pipe(p[0], moved)) << loopback;
    sock.close();
    std::string received;
    char buf[8192];
    ssize_t n;
    while ((n = read(sv[1], buf, sizeof buf)) > 0) received.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(received, first + "bc") << loopback;
    EXPECT_EQ(moved, first.size() + 2) << loopback;
    close(sv[1]);
    close(p[0]);
  }
}

}  // namespace
