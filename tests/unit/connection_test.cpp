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
// fits) and returns every frame taken on the way.
std::vector<std::string> framesOf(const std::string& stream, size_t piece, int limit = INT_MAX) {
  FrameReader reader;
  reader.set_limit(limit);
  std::vector<std::string> frames;
  for (size_t at = 0, room = 0; at < stream.size(); at += room) {
    char* space = reader.space(room);
    room = std::min({room, piece, stream.size() - at});
    if (room == 0) return {"<no room>"};
    reader.received(stream.copy(space, room, at));
    for (std::string payload; reader.next(payload);) frames.push_back(payload);
  }
  return frames;
}

// Pipelined frames, one larger than the parser's buffer, cut into pieces of every size, come out
// whole. A bad prefix or a frame over the limit is refused on its bytes alone, without waiting
// for a payload (40 digits: no ":" ever).
TEST(FrameReader, FramesCutAnywhereComeOutWholeAndBadPrefixesAreRefusedAtOnce) {
  std::string large(3000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 13 % 251);
  const std::vector<std::string> payloads = {"SID 1", "", "abc", large, "ok", std::string(5, ':')};
  const std::string stream = "5:SID 10:003:abc3000:" + large + "+2:ok5:" + payloads.back();
  for (size_t piece = 1; piece <= stream.size(); ++piece)
    ASSERT_EQ(payloads, framesOf(stream, piece)) << piece;
  for (const std::string& bytes :
       std::vector<std::string>{" 3:abc", ":abc", "x3:abc", "abc", "3x:abc", "3 :abc", "+:a", "99999999999:a",
                                std::string(40, '1'), "-1:abc", "4:abcd"})
    EXPECT_THROW(framesOf(bytes, bytes.size(), 3), FrameError) << bytes;
}

// On a connection: frames that arrived in one read are taken one at a time, under the limit set
// after they arrived, and those already read count against the deadline like those to come.
TEST(FramingTest, BackToBackFramesAreReadOneAtATimeAndTheDeadlineHoldsForThem) {
  int peer;
  Connection sock = connectionTo(peer);
  timeval tv = {10, 0};  // a read that waits far too long fails instead of hanging
  ASSERT_EQ(0, setsockopt(sock.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv));
  const std::string sent = "5:hello0:+3:abc2:ok2:ok";
  ASSERT_EQ(static_cast<ssize_t>(sent.size()), ::send(peer, sent.data(), sent.size(), MSG_NOSIGNAL));
  sock.set_frame_limit(5);  // a frame of just the limit is taken
  std::string s;
  for (const char* payload : {"hello", "", "abc", "ok"}) EXPECT_TRUE(sock.read(s) && s == payload) << s;
  sock.set_deadline(std::chrono::steady_clock::now());
  EXPECT_EQ("Could not read from socket time for the handshake ran out", sock.read(s).text()) << s;
  ::close(peer);
}

// Each message handed to the parser on a connection that went through the first `steps` of the
// handshake: the reply (nullptr: no byte at all) and whether the connection stays open.
TEST(Handshake, EachStateAnswersEachMessage) {
  WithSettings settings(settingsFor("linux", "serverid=Srv1\npassphrase=Pass1\naudit=off\n"));
  const std::tuple<int, std::string, const char*, bool> rows[] = {
      {0, " ", "Received a null parameter", false},
      {0, "sid SRV1 extra fields", "Correct SID received", true},
      {0, "SID Srv1\r\n", "Received incorrect SID", false},
      {0, "SID Srv", "Received incorrect SID", false},
      {0, "SID Srv12", "Received incorrect SID", false},
      {0, "Passphrase Pass1", "SID never received", false},
      {0, "cmd_exec: version", nullptr, false},
      {1, "Passphrase Pass", "Received incorrect passphrase", false},
      {1, "PASSPHRASE pass1", "Correct passphrase received", true},
      {1, "cmd_exec: version", nullptr, false},
      {2, "Passphrase Pass1", "Command not found", false},
      {2, "CMD_RETURN: yes", "Return received", true},
      {2, "cmd_exec:", nullptr, false}};  // too short to hold an instruction
  for (const auto& [steps, message, reply, open] : rows) {
    int peer;
    Connection sock = connectionTo(peer);
    KadrelConnection conn(sock);
    fcntl(peer, F_SETFL, O_NONBLOCK);
    std::string handshake[] = {"SID Srv1", "Passphrase Pass1"}, sent = message;
    for (int i = 0; i < steps; ++i) ASSERT_TRUE(SocketParser(handshake[i], conn));
    readAll(peer);
    EXPECT_EQ(open, SocketParser(sent, conn)) << steps << ": " << message;
    EXPECT_EQ(reply == nullptr ? "" : std::string(reply) + "\r\n", readAll(peer)) << steps << ": " << message;
    ::close(peer);
  }
}

// Entries match whole addresses; an empty first entry switches the check off.
TEST(Access, AllowListNeedsExactEntries) {
  for (const auto& [list, ip, allowed] : std::initializer_list<std::tuple<const char*, const char*, bool>>{
           {";10.0.0.1", "10.0.0.3", true},
           {"10.0.0.1;;10.0.0.2", "10.0.0.2", true},
           {"10.0.0.1;10.0.0.2", "10.0.0.", false},
           {"10.0.0.1;10.0.0.2", "10.0.0.12", false},
           {"10.0.0.1;", "10.0.0.3", false}}) {
    std::string logged;
    EXPECT_EQ(allowed, whitelistAllows(list, ip, logged)) << list << " / " << ip;
  }
}

// Whole output, and a peer that leaves after 1 MiB or before the first byte: the rest is taken
// from the pipe and dropped, so its writer ends, and the SIGPIPE of the failed write neither ends
// this process nor stays pending. A non-blocking pipe whose writer is still busy is sent as far
// as it holds bytes, which is not a failed send; the pipe's end later is the end of the output.
TEST(SendFromPipe, OutputArrivesWholeOrThePipeIsDrainedWithoutASignal) {
  std::string sent;
  for (size_t i = 0; i < (9 << 20); ++i) sent.push_back(static_cast<char>(i * 7 % 251));  // NULs too
  for (const bool loopback : {false, true}) {
    for (const size_t peerReads : {sent.size(), size_t(1) << 20, size_t(0)}) {
      SCOPED_TRACE(std::to_string(loopback) + " " + std::to_string(peerReads));
      int peer, p[2];
      Connection sock = connectionTo(peer, loopback);
      ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
      std::thread writer([&, fd = p[1]] {
        EXPECT_EQ(write(fd, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
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
    int peer, p[2];
    Connection sock = connectionTo(peer, loopback);
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(write(p[1], sent.data(), 5000), 5000);
    unsigned long long moved = 0;
    EXPECT_TRUE(sock.send_from_pipe(p[0], moved)) << loopback;
    ASSERT_EQ(write(p[1], "bc", 2), 2);  // the pipe was not drained and dropped
    close(p[1]);
    EXPECT_TRUE(sock.send_from_pipe(p[0], moved)) << loopback;
    sock.close();
    EXPECT_EQ(readAll(peer), sent.substr(0, 5000) + "bc") << loopback;
    EXPECT_EQ(moved, 5002u) << loopback;
    close(peer);
    close(p[0]);
  }
}

// A watched wait for work ends when the work's descriptor has something or when the panel has
// gone, and asks the connection only when the connection's descriptor shows an event: not at
// all while nothing happens there, once when it hangs up, and no busy loop on a level-triggered
// event that does not mean gone (the peer's end of sending).
TEST(PeerWatch, AWaitAsksTheConnectionOnlyWhenItsSocketShowsSomething) {
  enum Panel { Stays, Closes, StopsSending };
  // What the panel did; the wait's answer (the work's descriptor gets bytes later when it is
  // true); the fewest and most questions to the connection.
  for (const auto& [panel, workReady, fewestAsks, mostAsks] :
       std::initializer_list<std::tuple<Panel, bool, int, int>>{
           {Stays, true, 0, 0}, {Closes, false, 1, 1}, {StopsSending, true, 1, 10}}) {
    SCOPED_TRACE(panel);
    int conn[2], work[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, conn));
    ASSERT_EQ(0, pipe(work));
    if (panel == Closes) close(conn[1]);
    if (panel == StopsSending) shutdown(conn[1], SHUT_WR);
    std::atomic<int> asks{0};
    PeerWatch watch(  // the connection says its peer has gone once it hung up
        [&, closed = panel == Closes] {
          ++asks;
          return closed;
        },
        conn[0], POLLRDHUP);
    std::thread later([&, workReady = workReady] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      EXPECT_TRUE(!workReady || write(work[1], "x", 1) == 1);
    });
    EXPECT_EQ(workReady, waitReadable(work[0], &watch));
    later.join();
    EXPECT_LE(fewestAsks, asks.load());
    EXPECT_GE(mostAsks, asks.load());
    for (int fd : {conn[0], work[0], work[1]}) close(fd);
    if (panel != Closes) close(conn[1]);
  }
}

}  // namespace
