// The cap on unauthenticated connections and the penalty table, on a clock the test moves.
#include "session/Admission.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

uint32_t ip(const char* text) {
  in_addr a;
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

struct Recorder {
  std::vector<int> evicted;
  std::vector<std::string> lines;
  Admission make(Admission::Limits limits) {
    return Admission(
        limits, [this](int fd) { evicted.push_back(fd); },
        [this](const std::string& l) { lines.push_back(l); });
  }
};

const Admission::Clock::time_point t0 = Admission::Clock::time_point() + seconds(1000);

Admission::Limits cap(size_t n) {
  Admission::Limits l;
  l.maxUnauthenticated = n;
  return l;
}

TEST(Admission, AtTheCapTheOldestOfTheBusiestAddressMakesRoom) {
  Recorder r;
  Admission a = r.make(cap(4));
  // fd 10, 11 from .2 (10 oldest); 12 from .3; 13 from .2.
  ASSERT_TRUE(a.admit(10, ip("127.0.0.2"), t0));
  ASSERT_TRUE(a.admit(12, ip("127.0.0.3"), t0));
  ASSERT_TRUE(a.admit(11, ip("127.0.0.2"), t0));
  ASSERT_TRUE(a.admit(13, ip("127.0.0.2"), t0));
  EXPECT_TRUE(r.evicted.empty());

  ASSERT_TRUE(a.admit(14, ip("127.0.0.1"), t0));  // .2 holds the most: its oldest goes
  ASSERT_TRUE(a.admit(15, ip("127.0.0.1"), t0));  // .2 (2 left) still the most
  ASSERT_TRUE(a.admit(16, ip("127.0.0.1"), t0));  // now .1 holds the most: its own oldest goes
  EXPECT_EQ(r.evicted, (std::vector<int>{10, 11, 14}));
  EXPECT_EQ(a.unauthenticated(), 4u);
  // Equal counts: the address whose oldest connection is oldest (.3's 12, then .2's 13).
  a.leave(15);
  a.leave(16);
  ASSERT_TRUE(a.admit(17, ip("127.0.0.4"), t0));
  ASSERT_TRUE(a.admit(18, ip("127.0.0.5"), t0));
  ASSERT_TRUE(a.admit(19, ip("127.0.0.6"), t0));
  EXPECT_EQ(r.evicted, (std::vector<int>{10, 11, 14, 12}));
}

TEST(Admission, AuthenticatedOrClosedConnectionsNoLongerCount) {
  Recorder r;
  Admission a = r.make(cap(2));
  a.admit(5, ip("10.0.0.1"), t0);
  a.admit(6, ip("10.0.0.1"), t0);
  a.leave(5);  // authenticated
  a.leave(5);  // and closed later: harmless
  a.leave(99);
  a.admit(7, ip("10.0.0.2"), t0);
  EXPECT_TRUE(r.evicted.empty());
  a.admit(8, ip("10.0.0.3"), t0);
  EXPECT_EQ(r.evicted, (std::vector<int>{6}));
  a.leave(6);  // the evicted connection's own thread leaves too: nothing else goes
  EXPECT_EQ(a.unauthenticated(), 2u);
}

TEST(Admission, EvictionsAreLoggedAtMostOnceASecond) {
  Recorder r;
  Admission a = r.make(cap(1));
  a.admit(100, ip("10.0.0.1"), t0);
  for (int i = 1; i <= 5; ++i) a.admit(100 + i, ip("10.0.0.1"), t0 + milliseconds(100 * i));
  a.admit(200, ip("10.0.0.9"), t0 + milliseconds(1100));
  EXPECT_EQ(r.evicted.size(), 6u);
  EXPECT_EQ(r.lines, (std::vector<std::string>{
                         "Unauthenticated connections at the limit of 1: closed 1, the last from 10.0.0.1",
                         "Unauthenticated connections at the limit of 1: closed 5, the last from 10.0.0.1",
                     }));
}

TEST(Admission, FailedHandshakesEarnDoublingPenaltiesUpToTheBound) {
  Recorder r;
  Admission::Limits l;
  l.penaltySeconds = 2;
  l.penaltyMaxSeconds = 5;
  Admission a = r.make(l);
  const uint32_t guesser = ip("192.0.2.7"), other = ip("192.0.2.8");

  a.failed(guesser, t0);
  EXPECT_FALSE(a.admit(1, guesser, t0 + seconds(1)));
  EXPECT_TRUE(a.admit(2, other, t0 + seconds(1)));
  a.failed(guesser, t0 + seconds(1));  // a connection opened before the penalty: no new one
  EXPECT_TRUE(a.admit(3, guesser, t0 + seconds(2)));

  a.failed(guesser, t0 + seconds(2));
  EXPECT_EQ(a.penaltyLeft(guesser, t0 + seconds(2)), 4);
  a.failed(guesser, t0 + seconds(6));
  EXPECT_EQ(a.penaltyLeft(guesser, t0 + seconds(6)), 5);  // bounded
  // A quiet spell longer than the bound starts afresh.
  a.failed(guesser, t0 + seconds(30));
  EXPECT_EQ(a.penaltyLeft(guesser, t0 + seconds(30)), 2);
  EXPECT_EQ(r.lines, (std::vector<std::string>{
                         "Penalty of 2 s for 192.0.2.7 after a failed handshake",
                         "Penalty of 4 s for 192.0.2.7 after a failed handshake",
                         "Penalty of 5 s for 192.0.2.7 after a failed handshake",
                         "Penalty of 2 s for 192.0.2.7 after a failed handshake",
                     }));
}

TEST(Admission, WhoIsExemptFromPenalties) {
  const struct {
    const char* name;
    int penaltySeconds;
    bool penaltyLoopback;
    std::string whitelist;
    const char* peer;
    bool penalised;
  } rows[] = {
      {"loopback is exempt", 2, false, "", "127.0.0.2", false},
      {"unless the exemption is removed", 2, true, "", "127.0.0.2", true},
      {"an allow-listed address", 2, false, "192.0.2.1;192.0.2.7", "192.0.2.7", false},
      {"an address the list does not name", 2, false, "192.0.2.1", "192.0.2.7", true},
      {"penalties turned off", 0, true, "", "192.0.2.7", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Recorder r;
    Admission::Limits l;
    l.penaltySeconds = row.penaltySeconds;
    l.penaltyLoopback = row.penaltyLoopback;
    l.whitelist = row.whitelist;
    Admission a = r.make(l);
    a.failed(ip(row.peer), t0);
    EXPECT_EQ(!a.admit(1, ip(row.peer), t0), row.penalised);
  }
}

TEST(Admission, PenaltyTableIsBounded) {
  Recorder r;
  Admission::Limits l;
  l.penaltyTable = 2;
  Admission a = r.make(l);
  a.failed(ip("192.0.2.1"), t0);
  a.failed(ip("192.0.2.2"), t0 + milliseconds(10));
  a.failed(ip("192.0.2.3"), t0 + milliseconds(20));  // forgets .1, whose penalty ends first
  EXPECT_TRUE(a.admit(1, ip("192.0.2.1"), t0 + milliseconds(30)));
  EXPECT_FALSE(a.admit(2, ip("192.0.2.2"), t0 + milliseconds(30)));
  EXPECT_FALSE(a.admit(3, ip("192.0.2.3"), t0 + milliseconds(30)));
}

}  // namespace
