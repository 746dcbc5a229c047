// Reading framed requests and writing replies on one connection.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "sockets/Connection.h"
#include "sockets/FrameReader.h"

namespace {

// A refused read: "Could not read from socket ", then the reason.
bool refusedWithReason(const std::string& failure) {
  return failure.rfind("<Could not read from socket ", 0) == 0;
}

// The agent's end of a socketpair in a Connection, and the panel's raw descriptor. A read
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
    sock = Connection(fds[0]);
    peer = fds[1];
    timeval tv = {10, 0};
    ASSERT_EQ(0, setsockopt(sock.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv));
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
  Connection sock;
  int peer = -1;
};

TEST_F(FramingTest, BackToBackFramesAreReadOneAtATime) {
  sock.set_frame_limit(5);       // a frame of just the limit is taken
  write("5:hello0:+3:abc2:ok");  // bytes beyond a frame stay for the next read
  for (const char* payload : {"hello", "", "abc", "ok"}) EXPECT_EQ(payload, next());
}

// The peer stays connected and sends no more: each read must fail on the prefix alone.
TEST_F(FramingTest, BadLengthIsRefusedWithoutWaitingForPayload) {
  const std::string refused[] = {
      " 3:abc", ":abc",  "x3:abc", "abc", "3x:abc", "3 :abc", "+:a", "99999999999:a", std::string(40, '1'),
      "-1:abc", "4:abcd"};
  for (const std::string& bytes : refused) {  // 40 digits: no ":" ever; "4:abcd": over the limit
    reset();
    sock.set_frame_limit(3);
    write(bytes);
    EXPECT_PRED1(refusedWithReason, next()) << bytes;
  }
}

// Feeds `stream` to `reader` in the pieces `cuts` marks (each read as much as fits) and returns
// every frame taken on the way, or "<" and the fault.
std::vector<std::string> framesOf(FrameReader& reader, const std::string& stream, std::vector<size_t> cuts) {
  std::vector<std::string> frames;
  cuts.push_back(stream.size());
  size_t at = 0;
  try {
    for (size_t cut : cuts) {
      while (at < cut) {
        size_t room = 0;
        char* space = reader.space(room);
        const size_t n = std::min(room, cut - at);
        if (n == 0) return {"<no room>"};
        std::copy(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + n), space);
        reader.received(n);
        at += n;
        for (std::string payload; reader.next(payload);) frames.push_back(payload);
      }
    }
  } catch (const FrameError& e) {
    frames.push_back(std::string("<") + e.what());
  }
  return frames;
}

// The parser alone: pipelined frames, one larger than its buffer, arriving cut at every byte and
// then one byte at a time, come out whole and in order.
TEST(FrameReaderTest, PipelinedFramesCutAnywhereComeOutWhole) {
  std::string large(3000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 13 % 251);
  const std::vector<std::string> payloads = {"SID 1", "", "abc", large, "ok", std::string(5, ':')};
  const std::string stream = "5:SID 10:003:abc3000:" + large + "+2:ok5:" + payloads.back();
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    FrameReader reader;
    ASSERT_EQ(payloads, framesOf(reader, stream, {cut})) << "cut at " << cut;
  }
  std::vector<size_t> everyByte;
  for (size_t i = 1; i < stream.size(); ++i) everyByte.push_back(i);
  FrameReader reader;
  EXPECT_EQ(payloads, framesOf(reader, stream, everyByte));
}

// A limit set between two frames that arrived in one read holds for the second: the frame
// after the handshake is measured by the limit in force when it is taken.
TEST(FrameReaderTest, LimitAppliesToTheNextFrameTaken) {
  struct Row {
    long long second;  // the limit once the first frame was taken
    std::vector<std::string> expected;
  } rows[] = {{5, {"abc", "hello"}}, {4, {"abc", "<frame of 5 bytes is over the limit of 4"}}};
  for (const Row& row : rows) {
    FrameReader reader;
    reader.set_limit(3);
    size_t room = 0;
    const std::string stream = "3:abc5:hello";
    std::copy(stream.begin(), stream.end(), reader.space(room));
    reader.received(stream.size());
    std::vector<std::string> got;
    try {
      for (std::string payload; reader.next(payload); reader.set_limit(row.second)) got.push_back(payload);
    } catch (const FrameError& e) {
      got.push_back(std::string("<") + e.what());
    }
    EXPECT_EQ(row.expected, got) << row.second;
  }
}

// Frames already read count against the deadline like those still to come.
TEST_F(FramingTest, DeadlineEndsReadingOfFramesAlreadyThere) {
  write("2:ok2:ok");
  EXPECT_EQ("ok", next());
  sock.set_deadline(std::chrono::steady_clock::now());
  EXPECT_PRED1(refusedWithReason, next());
}

}  // namespace
