// Reading framed requests: the frame parser alone, and on one connection.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "sockets/Connection.h"
#include "sockets/FrameReader.h"

namespace {

// Feeds `stream` to `reader` in the pieces `cuts` marks (each read as much as fits) and returns
// every frame taken on the way, or "<" and the fault. `limitAfterFirst`, when set, becomes the
// limit once the first frame was taken, as the handshake changes it.
std::vector<std::string> framesOf(FrameReader& reader, const std::string& stream, std::vector<size_t> cuts,
                                  long long limitAfterFirst = 0) {
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
        for (std::string payload; reader.next(payload);) {
          frames.push_back(payload);
          if (frames.size() == 1 && limitAfterFirst) reader.set_limit(limitAfterFirst);
        }
      }
    }
  } catch (const FrameError& e) {
    frames.push_back(std::string("<") + e.what());
  }
  return frames;
}

// Pipelined frames, one larger than the parser's buffer, arriving cut at every byte and then
// one byte at a time, come out whole and in order.
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

// A bad prefix is refused on its bytes alone, without waiting for a payload (40 digits: no ":"
// ever). A limit set between two frames that arrived in one read holds for the second.
TEST(FrameReaderTest, BadPrefixOrFrameOverTheLimitIsRefusedAtOnce) {
  const std::string refused[] = {
      " 3:abc", ":abc",  "x3:abc", "abc", "3x:abc", "3 :abc", "+:a", "99999999999:a", std::string(40, '1'),
      "-1:abc", "4:abcd"};
  for (const std::string& bytes : refused) {
    FrameReader reader;
    reader.set_limit(3);
    const std::vector<std::string> got = framesOf(reader, bytes, {});
    EXPECT_TRUE(got.size() == 1 && got[0][0] == '<') << bytes;
  }
  for (const auto& [second, last] :
       {std::pair<long long, std::string>{5, "hello"}, {4, "<frame of 5 bytes is over the limit of 4"}}) {
    FrameReader reader;
    reader.set_limit(3);
    EXPECT_EQ((std::vector<std::string>{"abc", last}), framesOf(reader, "3:abc5:hello", {}, second))
        << second;
  }
}

// On a connection: frames that arrived in one read are taken one at a time, and those already
// read count against the deadline like those still to come. A read that waits far too long
// fails instead of hanging.
TEST(FramingTest, BackToBackFramesAreReadOneAtATimeAndTheDeadlineHoldsForThem) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  Connection sock(fds[0]);
  timeval tv = {10, 0};
  ASSERT_EQ(0, setsockopt(sock.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv));
  const std::string sent = "5:hello0:+3:abc2:ok2:ok";
  ASSERT_EQ(static_cast<ssize_t>(sent.size()), ::send(fds[1], sent.data(), sent.size(), MSG_NOSIGNAL));
  sock.set_frame_limit(5);  // a frame of just the limit is taken
  std::string s;
  for (const char* payload : {"hello", "", "abc", "ok"}) {
    sock >> s;
    EXPECT_EQ(payload, s);
  }
  sock.set_deadline(std::chrono::steady_clock::now());
  try {
    sock >> s;
    ADD_FAILURE() << "read a frame past the deadline: " << s;
  } catch (const SocketException& e) {
    EXPECT_EQ(0u, e.description().rfind("Could not read from socket ", 0)) << e.description();
  }
  ::close(fds[1]);
}

}  // namespace
