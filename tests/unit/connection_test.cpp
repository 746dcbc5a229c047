// One connection: framed requests (the parser alone and on a socket), the handshake, the peer
// allow-list, a command's output sent from its pipe to the peer, and the wait for work that
// ends when the peer goes.
#include "sockets/Connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "TestSettings.h"
#include "dispatch/PeerWatch.h"
#include "session/KadrelConnection.h"
#include "sockets/AllowList.h"
#include "sockets/FrameReader.h"

namespace {

// What `fd` holds until its end, until a read would wait (non-blocking), or `limit` bytes.
std::string readAll(int fd, size_t limit = SIZE_MAX) {
  std::string got;
  char buf[65536];
  for (ssize_t n; got.size() < limit && (n = ::read(fd, buf, sizeof buf)) > 0;)
    got.append(buf, static_cast<size_t>(n));
  return got;
}

// A Connection on one end of a socket pair, as to a peer on the loopback interface (its sends are
// copied) or not (spliced); `peer` is the other end.
Connection connectionTo(int& peer, bool loopback = false) {
  int sv[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  sockaddr_in addr = sockaddr_in();
  if (loopback) addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  peer = sv[1];
  return Connection(sv[0], addr);
}

// Feeds `stream` to a reader with `limit` in pieces of `piece` bytes (each read as much as
// fits) and returns every frame taken on the way, or "<" and the fault. `limitAfterFirst`, when
// set, becomes the limit once the first frame was taken, as the handshake changes it.
std::vector<std::string> framesOf(const std::string& stream, size_t piece, long long limit = INT_MAX,
                                  long long limitAfterFirst = 0) {
  FrameReader reader;
  reader.set_limit(limit);
  std::vector<std::string> frames;
  try {
    for (size_t at = 0, room = 0; at < stream.size(); at += room) {
      char* space = reader.space(room);
      room = std::min({room, piece, stream.size() - at});
      if (room == 0) return {"<no room>"};
      reader.received(stream.copy(space, room, at));
      for (std::string payload; reader.next(payload);) {
        frames.push_back(payload);
        if (frames.size() == 1 && limitAfterFirst) reader.set_limit(limitAfterFirst);
      }
    }
  } catch (const FrameError& e) {
    frames.push_back(std::string("<") + e.what());
  }
  return frames;
}

// Pipelined frames, one larger than the parser's buffer, cut into pieces of every size, come out
// whole. A bad prefix is refused on its bytes alone, without waiting for a payload (40 digits: no
// ":" ever). A limit set between two frames that arrived in one read holds for the second.
TEST(FrameReader, FramesCutAnywhereComeOutWholeAndBadPrefixesAreRefusedAtOnce) {
  std::string large(3000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 13 % 251);
  const std::vector<std::string> payloads = {"SID 1", "", "abc", large, "ok", std::string(5, ':')};
  const std::string stream = "5:SID 10:003:abc3000:" + large + "+2:ok5:" + payloads.back();
  for (size_t piece = 1; piece <= stream.size(); ++piece)
    ASSERT_EQ(payloads, framesOf(stream, piece)) << piece;
  for (const std::string& bytes :
       std::vector<std::string>{" 3:abc", ":abc", "x3:abc", "abc", "3x:abc", "3 :abc", "+:a", "99999999999:a",
                                std::string(40, '1'), "-1:abc", "4:abcd"}) {
    const std::vector<std::string> got = framesOf(bytes, bytes.size(), 3);
    EXPECT_TRUE(got.size() == 1 && got[0][0] == '<') << bytes;
  }
  for (const auto& [second, last] :
       {std::pair<long long, std::string>{5, "hello"}, {4, "<frame of 5 bytes is over the limit of 4"}})
    EXPECT_EQ((std::vector<std::string>{"abc", last}), framesOf("3:abc5:hello", 12, 3, second)) << second;
}

// On a connection: frames that arrived in one read are taken one at a time, and those already
// read count against the deadline like those still to come.
TEST(FramingTest, BackToBackFramesAreReadOneAtATimeAndTheDeadlineHoldsForThem) {
  int peer;
  Connection sock = connectionTo(peer);
  timeval tv = {10, 0};  // a read that waits far too long fails instead of hanging
  ASSERT_EQ(0, setsockopt(sock.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv));
  const std::string sent = "5:hello0:+3:abc2:ok2:ok";
  ASSERT_EQ(static_cast<ssize_t>(sent.size()), ::send(peer, sent.data(), sent.size(), MSG_NOSIGNAL));
  sock.set_frame_limit(5);  // a frame of just the limit is taken
  std::string s;
  for (const char* payload : {"hello", "", "abc", "ok"}) {
    ASSERT_TRUE(sock.read(s));
    EXPECT_EQ(payload, s);
  }
  sock.set_deadline(std::chrono::steady_clock::now());
  const Result late = sock.read(s);
  EXPECT_FALSE(late) << "read a frame past the deadline: " << s;
  EXPECT_EQ(0u, late.text().rfind("Could not read from socket ", 0)) << late.text();
  ::close(peer);
}

// Where a connection stands before the message.
enum State { kNew, kIdAccepted, kAuthenticated };

// Each message handed to the parser on a connection in a state: the reply (nullptr: no byte at
// all) and whether the connection stays open.
TEST(Handshake, EachStateAnswersEachMessage) {
  WithSettings settings(settingsFor("linux", "serverid=Srv1\npassphrase=Pass1\naudit=off\n"));
  const std::tuple<State, std::string, const char*, bool> rows[] = {
      {kNew, " ", "Received a null parameter", false},
      {kNew, "sid SRV1 extra fields", "Correct SID received", true},
      {kNew, "SID Srv1\r\n", "Received incorrect SID", false},
      {kNew, "SID Srv", "Received incorrect SID", false},
      {kNew, "SID Srv12", "Received incorrect SID", false},
      {kNew, "Passphrase Pass1", "SID never received", false},
      {kNew, "cmd_exec: version", nullptr, false},
      {kIdAccepted, "Passphrase Pass", "Received incorrect passphrase", false},
      {kIdAccepted, "PASSPHRASE pass1", "Correct passphrase received", true},
      {kIdAccepted, "cmd_exec: version", nullptr, false},
      {kAuthenticated, "Passphrase Pass1", "Command not found", false},
      {kAuthenticated, "CMD_RETURN: yes", "Return received", true},
      {kAuthenticated, "cmd_exec:", nullptr, false}};  // too short to hold an instruction
  for (const auto& [state, message, reply, open] : rows) {
    int peer;
    Connection sock = connectionTo(peer);
    KadrelConnection conn(sock);
    fcntl(peer, F_SETFL, O_NONBLOCK);
    std::string sid = "SID Srv1", passphrase = "Passphrase Pass1", sent = message;
    ASSERT_TRUE(state < kIdAccepted || SocketParser(sid, conn));
    ASSERT_TRUE(state < kAuthenticated || SocketParser(passphrase, conn));
    readAll(peer);
    EXPECT_EQ(open, SocketParser(sent, conn)) << state << ": " << message;
    EXPECT_EQ(reply == nullptr ? "" : std::string(reply) + "\r\n", readAll(peer)) << state << ": " << message;
    ::close(peer);
  }
}

TEST(Access, AllowListNeedsExactEntries) {
  const std::tuple<const char*, const char*, bool> rows[] = {
      {"", "10.0.0.3", true},
      {";10.0.0.1", "10.0.0.3", true},  // an empty first entry switches the check off
      {"10.0.0.1;;10.0.0.2", "10.0.0.2", true},
      {"10.0.0.1;10.0.0.2", "10.0.0.", false},
      {"10.0.0.1;10.0.0.2", "10.0.0.12", false},
      {"10.0.0.1 ;10.0.0.2", "10.0.0.1", false},
      {"10.0.0.1;", "10.0.0.3", false}};
  for (const auto& [list, ip, allowed] : rows) {
    std::string logged;
    EXPECT_EQ(allowed, whitelistAllows(list, ip, logged)) << list << " / " << ip;
  }
}

// Whole output, and a peer that leaves after 1 MiB or before the first byte: the rest is taken
// from the pipe and dropped, so its writer ends, and the SIGPIPE of the failed write neither ends
// this process nor stays pending.
TEST(SendFromPipe, OutputArrivesWholeOrThePipeIsDrainedWithoutASignal) {
  std::string sent;
  for (size_t i = 0; i < (9 << 20); ++i) sent.push_back(static_cast<char>(i * 7 % 251));  // NULs too
  for (const bool loopback : {false, true})
    for (const size_t peerReads : {sent.size(), size_t(1) << 20, size_t(0)}) {
      SCOPED_TRACE(std::to_string(loopback) + " " + std::to_string(peerReads));
      int peer, p[2];
      Connection sock = connectionTo(peer, loopback);
      ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
      std::thread writer([&, fd = p[1]] {
        EXPECT_EQ(write(fd, sent.data(), sent.size()),
                  static_cast<ssize_t>(sent.size()));  // a pipe takes it all
        close(fd);
      });
      std::string received;
      std::thread reader([&, fd = peer] {
        received = readAll(fd, peerReads);
        close(fd);
      });
      if (peerReads == 0) reader.join();  // gone before the first byte
      unsigned long long moved = 0;
      EXPECT_EQ(sock.send_from_pipe(p[0], moved), peerReads == sent.size());
      writer.join();
      sock.close();
      if (reader.joinable()) reader.join();
      close(p[0]);
      EXPECT_EQ(moved, sent.size());
      EXPECT_TRUE(peerReads < sent.size() || received == sent) << received.size();
      sigset_t pending;
      sigpending(&pending);
      EXPECT_FALSE(sigismember(&pending, SIGPIPE));
    }
}

// A non-blocking pipe whose writer is still busy is sent as far as it holds bytes, which is not a
// failed send; the pipe's end later is the end of the output.
TEST(SendFromPipe, NonBlockingPipeIsSentAsFarAsItHolds) {
  for (const bool loopback : {false, true}) {
    int peer, p[2];
    Connection sock = connectionTo(peer, loopback);
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    const std::string first(5000, 'a');
    ASSERT_EQ(write(p[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    unsigned long long moved = 0;
    EXPECT_TRUE(sock.send_from_pipe(p[0], moved)) << loopback;
    ASSERT_EQ(write(p[1], "bc", 2), 2);  // the pipe was not drained and dropped
    close(p[1]);
    EXPECT_TRUE(sock.send_from_pipe(p[0], moved)) << loopback;
    sock.close();
    EXPECT_EQ(readAll(peer), first + "bc") << loopback;
    EXPECT_EQ(moved, first.size() + 2) << loopback;
    close(peer);
    close(p[0]);
  }
}

// A watched wait for work ends when the work's descriptor has something or when the panel has
// gone, and asks the connection only when the connection's descriptor shows an event.
TEST(PeerWatch, AWaitAsksTheConnectionOnlyWhenItsSocketShowsSomething) {
  enum Panel { Stays, Closes, StopsSending };
  const struct {
    Panel panel;
    bool workReady;  // the work's descriptor gets bytes, after the panel did what it does
    bool expected;   // waitReadable's answer
    int mostAsks;
  } rows[] = {
      // Nothing happens on the socket while the work runs: not one question.
      {Stays, true, true, 0},
      // The socket hangs up: the wait ends with the first question.
      {Closes, false, false, 1},
      // An event that does not mean gone (here the watch was told that the peer's end of
      // sending is no reason to stop): no busy loop on the level-triggered event; the wait
      // goes on until the work has bytes.
      {StopsSending, true, true, 10},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.panel);
    int conn[2], work[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, conn));
    ASSERT_EQ(0, pipe(work));
    std::atomic<int> asks{0};
    PeerWatch watch(
        [&] {
          ++asks;
          pollfd p = {conn[0], POLLRDHUP, 0};
          return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
        },
        conn[0], POLLRDHUP);
    std::thread panel([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (row.panel == Closes) close(conn[1]);
      if (row.panel == StopsSending) shutdown(conn[1], SHUT_WR);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (row.workReady) {
        EXPECT_EQ(1, write(work[1], "x", 1));
      }
    });
    EXPECT_EQ(row.expected, waitReadable(work[0], &watch));
    panel.join();
    EXPECT_LE(asks.load(), row.mostAsks);
    EXPECT_GE(asks.load(), row.panel == Stays ? 0 : 1);
    for (int fd : {conn[0], work[0], work[1]}) close(fd);
    if (row.panel != Closes) close(conn[1]);
  }
}

}  // namespace
