// Reading framed requests and writing replies on one connection.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sockets/ServerSocket.h"

namespace {

const std::string kLexical =
    "<Could not read from socket bad lexical cast: source type value could not be interpreted as target>";

// A refused read: "Could not read from socket ", then the reason.
bool refusedWithReason(const std::string& failure) {
  return failure.rfind("<Could not read from socket ", 0) == 0;
}

// The agent's end of a socketpair in a ServerSocket, and the panel's raw descriptor. A read
// that waits far too long fails with "Could not read from socket." instead of hanging.
class FramingTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { closePeer(); }
  void reset() {  // a fresh pair, also for each case of a loop
    sock.close();
    closePeer();
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    sock.m_sock = fds[0];
    peer = fds[1];
    timeval tv = {10, 0};
    ASSERT_EQ(0, setsockopt(sock.m_sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv));
  }
  void write(const std::string& bytes) { (void)::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  void closePeer() { ::close(std::exchange(peer, -1)); }
  // The next frame's payload, or the description of the SocketException in "<...>".
  std::string next() {
    std::string s;
    try {
      sock >> s;
    } catch (const SocketException& e) {
      return "<" + e.description() + ">";
    }
    return s;
  }
  // Writes `parts` one after the other, each only once the reader has taken every byte of the
  // previous one (so each arrives in a read of its own), and returns the frame read meanwhile.
  std::string readInParts(const std::vector<std::string>& parts) {
    std::string got;
    std::thread reader([&] {
      got = next();
      ::shutdown(sock.m_sock, SHUT_RDWR);  // a writer still blocked on a full buffer gets an error
    });
    for (const std::string& part : parts) {
      write(part);
      int queued = 1;
      for (int i = 0; i < 10000 && queued > 0 && ioctl(sock.m_sock, FIONREAD, &queued) == 0; ++i)
        if (queued > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    reader.join();
    return got;
  }

  ServerSocket sock;
  int peer = -1;
};

TEST_F(FramingTest, BackToBackFramesAreReadOneAtATime) {
  sock.set_frame_limit(5);       // a frame of just the limit is taken
  write("5:hello0:+3:abc2:ok");  // bytes beyond a frame stay for the next read
  for (const char* payload : {"hello", "", "abc", "ok"}) EXPECT_EQ(payload, next());
}

TEST_F(FramingTest, FrameSplitAnywhereOrLongerThanOneReadIsReadWhole) {
  const std::string frame("10:a\0 b\0\0c d\0", 13);
  for (size_t cut = 1; cut < frame.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    reset();
    EXPECT_EQ(frame.substr(3), readInParts({frame.substr(0, cut), frame.substr(cut)}));
  }
  reset();
  std::string payload(3 * MAXRECV + 5, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 % 251);
  EXPECT_TRUE(payload == readInParts({std::to_string(payload.size()) + ":" + payload}));
}

// The peer stays connected and sends no more: each read must fail on the prefix alone.
TEST_F(FramingTest, BadLengthIsRefusedWithoutWaitingForPayload) {
  sock.set_frame_limit(3);  // kept by reset()
  const std::string notNumbers[] = {
      " 3:abc", ":abc",          "x3:abc",
      "abc",    "3x:abc",        "3 :abc",
      "+:a",    "99999999999:a", std::string(40, '1')};  // the last: no ":" ever
  for (const std::string& bytes : notNumbers) {
    reset();
    write(bytes);
    EXPECT_EQ(kLexical, next()) << bytes;
  }
  for (const char* bytes : {"-1:abc", "4:abcd"}) {
    reset();
    write(bytes);
    EXPECT_PRED1(refusedWithReason, next()) << bytes;
  }
}

TEST_F(FramingTest, PeerClosingBeforeFrameEndsTheRead) {
  for (const char* sent : {"", "12", "5:", "9:SID 1"}) {
    SCOPED_TRACE(sent);
    reset();
    write(sent);
    closePeer();
    EXPECT_EQ("<Could not read from socket.>", next());
  }
}

TEST_F(FramingTest, DeadlineEndsAReadThatGetsNoData) {
  sock.set_deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(200));
  EXPECT_PRED1(refusedWithReason, next());  // not the 10 s receive time-out
}

TEST_F(FramingTest, WriteFailsOnceThePeerLeft) {
  closePeer();
  std::string failure = "<no exception>";
  try {
    sock << std::string("after close\r\n");  // must not raise SIGPIPE either
  } catch (const SocketException& e) {
    failure = e.description();
  }
  EXPECT_EQ("Could not write to socket.", failure);
}

}  // namespace
