// Reading framed requests and writing replies on one connection, and the peer allow-list.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Sockets/ServerSocket.h"

namespace {

const std::string kLexical =
    "Could not read from socket bad lexical cast: source type value could not be interpreted as target";
const std::string kPeerClosed = "Could not read from socket.";

// A refused read: "Could not read from socket ", then the reason.
bool refusedWithReason(const std::string& failure) {
  const std::string head = "Could not read from socket ";
  return failure.size() > head.size() && failure.compare(0, head.size(), head) == 0;
}

// The agent's end of a socketpair in a ServerSocket, and the panel's raw descriptor. A read
// that waits far too long fails with "Could not read from socket." instead of hanging.
class FramingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    sock.m_sock = fds[0];
    peer = fds[1];
    timeval tv = {10, 0};
    ASSERT_EQ(0, setsockopt(sock.m_sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv));
  }
  void TearDown() override { closePeer(); }
  // A fresh pair for the next case of a loop.
  void reset() {
    sock.close();
    closePeer();
    SetUp();
  }

  void write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(peer, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
  void closePeer() {
    if (peer >= 0) ::close(peer);
    peer = -1;
  }
  std::string read() {
    std::string s;
    sock >> s;
    return s;
  }
  // The description of the SocketException the next read throws.
  std::string readFailure() {
    try {
      read();
    } catch (const SocketException& e) {
      return e.description();
    }
    return "<read succeeded>";
  }
  // Writes `parts` one after the other, each only once the reader has taken every byte of the
  // previous one (so each arrives in a read of its own), and returns the frame read meanwhile.
  std::string readInParts(const std::vector<std::string>& parts) {
    std::string got;
    std::thread reader([&] {
      try {
        got = read();
      } catch (const SocketException& e) {
        got = "<" + e.description() + ">";
        ::shutdown(sock.m_sock, SHUT_RDWR);  // a writer blocked on a full buffer gets an error
      }
    });
    for (const std::string& part : parts) {
      write(part);
      int queued = 1;
      for (int i = 0; i < 10000 && queued > 0; ++i) {
        if (ioctl(sock.m_sock, FIONREAD, &queued) != 0) break;
        if (queued > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    reader.join();
    return got;
  }

  ServerSocket sock;
  int peer = -1;
};

TEST_F(FramingTest, BackToBackFramesAreReadOneAtATime) {
  write("5:hello0:+3:abc2:ok");  // bytes beyond a frame stay for the next read
  EXPECT_EQ("hello", read());
  EXPECT_EQ("", read());
  EXPECT_EQ("abc", read());
  EXPECT_EQ("ok", read());
}

TEST_F(FramingTest, FrameSplitAtAnyByteIsReadWhole) {
  for (const std::string& frame : {std::string("5:hello"), std::string("12:cmd_exec: ab")}) {
    for (size_t cut = 1; cut < frame.size(); ++cut) {
      SCOPED_TRACE(frame + " cut at " + std::to_string(cut));
      reset();
      EXPECT_EQ(frame.substr(frame.find(':') + 1), readInParts({frame.substr(0, cut), frame.substr(cut)}));
    }
  }
}

TEST_F(FramingTest, NulBytesAreKeptInEveryRead) {
  EXPECT_EQ(std::string("a\0b\0c\0\0", 7),
            readInParts({std::string("7:a\0b", 5), std::string("\0c", 2), std::string("\0\0", 2)}));
  EXPECT_EQ(std::string("\0\0d", 3), readInParts({std::string("3:", 2), std::string("\0\0", 2), "d"}));
}

TEST_F(FramingTest, LargeFrameIsReadWhole) {
  std::string payload(3 * 1024 * 1024, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 % 251);
  std::string got = readInParts({std::to_string(payload.size()) + ":" + payload});
  EXPECT_EQ(payload.size(), got.size());
  EXPECT_TRUE(got == payload);
}

TEST_F(FramingTest, MalformedLengthPrefixIsRefused) {
  for (const char* input : {" 3:abc", ":abc", "x3:abc", "abc", "3x:abc", "3 :abc", "99999999999:abc", "+:a"}) {
    SCOPED_TRACE(input);
    reset();
    write(input);  // the peer stays connected: the read must fail on the prefix alone
    EXPECT_EQ(kLexical, readFailure());
  }
}

TEST_F(FramingTest, PeerClosingBeforeFrameEndsTheRead) {
  for (const char* sent : {"", "12", "5:", "9:SID 1"}) {
    SCOPED_TRACE(sent);
    reset();
    write(sent);
    closePeer();
    EXPECT_EQ(kPeerClosed, readFailure());
  }
}

// The peer stays connected and sends no payload: these fail on the length alone.
TEST_F(FramingTest, LengthOutOfRangeIsRefusedAtOnce) {
  write("-1:abc");
  EXPECT_PRED1(refusedWithReason, readFailure());
  reset();
  sock.set_frame_limit(65536);
  write("65537:");
  EXPECT_PRED1(refusedWithReason, readFailure());

  reset();
  sock.set_frame_limit(65536);
  std::string payload(65536, 'p');
  EXPECT_EQ(payload, readInParts({"65536:" + payload}));
}

TEST_F(FramingTest, DeadlineEndsAReadThatGetsNoData) {
  sock.set_deadline(std::chrono::steady_clock::now() - std::chrono::seconds(1));
  EXPECT_PRED1(refusedWithReason, readFailure());
  sock.set_deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(200));
  EXPECT_PRED1(refusedWithReason, readFailure());  // not the 10 s receive time-out

  write("2:ok");
  sock.set_deadline(std::chrono::steady_clock::now() + std::chrono::seconds(60));
  EXPECT_EQ("ok", read());
  sock.set_deadline(std::chrono::steady_clock::now() - std::chrono::seconds(1));
  sock.clear_deadline();
  write("2:no");
  EXPECT_EQ("no", read());
}

TEST_F(FramingTest, WritesExactlyTheReplyBytes) {
  const std::string reply("Correct SID received\r\n\0x", 24);
  sock << reply;
  std::string got(64, '\0');
  ssize_t n = ::recv(peer, &got[0], got.size(), MSG_DONTWAIT);
  ASSERT_EQ(static_cast<ssize_t>(reply.size()), n);
  got.resize(static_cast<size_t>(n));
  EXPECT_EQ(reply, got);

  closePeer();
  try {
    sock << std::string("after close\r\n");  // must not raise SIGPIPE either
    ADD_FAILURE() << "no exception";
  } catch (const SocketException& e) {
    EXPECT_EQ("Could not write to socket.", e.description());
  }
}

TEST(Whitelist, DecidesByExactEntries) {
  struct Row {
    const char* list;
    const char* ip;
    bool allowed;
    const char* logged;
  };
  const Row rows[] = {
      {"", "10.0.0.3", true, ""},
      {"10.0.0.1;10.0.0.2", "10.0.0.2", true, "Allowed login from known ip"},
      {"10.0.0.1;10.0.0.2", "10.0.0.1", true, "Allowed login from known ip"},
      {"10.0.0.1;10.0.0.2", "10.0.0.3", false, "Denied login from unknown ip"},
      {"10.0.0.1;10.0.0.2", "10.0.0.", false, "Denied login from unknown ip"},
      {"10.0.0.1;10.0.0.2", "10.0.0.12", false, "Denied login from unknown ip"},
      {"10.0.0.1 ;10.0.0.2", "10.0.0.1", false, "Denied login from unknown ip"},
      {";10.0.0.1", "192.168.1.1", true, ""},
      {"10.0.0.1;;10.0.0.2", "10.0.0.2", true, "Allowed login from known ip"},
      {"10.0.0.1;", "10.0.0.3", false, "Denied login from unknown ip"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.list) + " / " + row.ip);
    std::string logged = "stale";
    EXPECT_EQ(row.allowed, whitelistAllows(row.list, row.ip, logged));
    EXPECT_EQ(row.logged, logged);
  }
}

}  // namespace
