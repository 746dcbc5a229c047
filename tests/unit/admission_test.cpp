// The cap on unauthenticated connections and the penalty table, on a clock the test moves.
#include "session/Admission.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

uint32_t ip(const char* text) {
  in_addr a;
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

const Admission::Clock::time_point t0 = Admission::Clock::time_point() + seconds(1000);

Admission make(const Admission::Limits& limits, std::vector<int>* evicted = nullptr) {
  return Admission(
      limits, [evicted](int fd) { evicted->push_back(fd); }, [](const std::string&) {});
}

TEST(Admission, AtTheCapTheOldestOfTheBusiestAddressMakesRoom) {
  std::vector<int> evicted;
  Admission::Limits limits;
  limits.maxUnauthenticated = 4;
  Admission a = make(limits, &evicted);
  // fd 10, 11 and 13 from .2 (10 oldest), 12 from .3.
  for (const auto& [fd, peer] :
       {std::pair{10, "127.0.0.2"}, {12, "127.0.0.3"}, {11, "127.0.0.2"}, {13, "127.0.0.2"}})
    ASSERT_TRUE(a.admit(fd, ip(peer), t0));
  EXPECT_TRUE(evicted.empty());
  // .2 holds the most: its oldest goes, twice; then .1 holds the most: its own oldest goes.
  for (int fd : {14, 15, 16}) ASSERT_TRUE(a.admit(fd, ip("127.0.0.1"), t0));
  EXPECT_EQ(evicted, (std::vector<int>{10, 11, 14}));
  EXPECT_EQ(a.unauthenticated(), 4u);
  // Leaving twice (authenticated, then closed), an unknown descriptor or an evicted one frees
  // no further place. Then equal counts: the address whose oldest connection is oldest (.3).
  for (int fd : {15, 16, 16, 99, 10}) a.leave(fd);
  for (int fd : {17, 18, 19}) ASSERT_TRUE(a.admit(fd, ip(("127.0.1." + std::to_string(fd)).c_str()), t0));
  EXPECT_EQ(evicted, (std::vector<int>{10, 11, 14, 12}));
}

TEST(Admission, FailedHandshakesEarnDoublingPenaltiesUpToTheBound) {
  Admission::Limits limits;
  limits.penaltySeconds = 2;
  limits.penaltyMaxSeconds = 5;
  Admission a = make(limits);
  const uint32_t guesser = ip("192.0.2.7");
  a.failed(guesser, t0);
  EXPECT_FALSE(a.admit(1, guesser, t0 + seconds(1)));
  EXPECT_TRUE(a.admit(2, ip("192.0.2.8"), t0 + seconds(1)));
  a.failed(guesser, t0 + seconds(1));  // a connection opened before the penalty: no new one
  EXPECT_TRUE(a.admit(3, guesser, t0 + seconds(2)));
  // Doubling, bounded, and afresh after a quiet spell longer than the bound.
  for (const auto& [at, left] : {std::pair{2, 4}, {6, 5}, {30, 2}}) {
    a.failed(guesser, t0 + seconds(at));
    EXPECT_EQ(a.penaltyLeft(guesser, t0 + seconds(at)), left) << at;
  }
}

TEST(Admission, WhoIsExemptFromPenalties) {
  const struct {
    int penaltySeconds;
    bool penaltyLoopback;
    std::string whitelist;
    const char* peer;
    bool penalised;
  } rows[] = {
      {2, false, "", "127.0.0.2", false},  // loopback is exempt ...
      {2, true, "", "127.0.0.2", true},    // ... unless the exemption is removed
      {2, false, "192.0.2.1;192.0.2.7", "192.0.2.7", false},
      {2, false, "192.0.2.1", "192.0.2.7", true},
      {0, true, "", "192.0.2.7", false},  // penalties turned off
  };
  for (const auto& row : rows) {
    Admission::Limits limits;
    limits.penaltySeconds = row.penaltySeconds;
    limits.penaltyLoopback = row.penaltyLoopback;
    limits.whitelist = row.whitelist;
    Admission a = make(limits);
    a.failed(ip(row.peer), t0);
    EXPECT_EQ(!a.admit(1, ip(row.peer), t0), row.penalised) << row.peer << " / " << row.whitelist;
  }
}

TEST(Admission, PenaltyTableIsBounded) {
  Admission::Limits limits;
  limits.penaltyTable = 2;
  Admission a = make(limits);
  for (int i : {1, 2, 3}) a.failed(ip(("192.0.2." + std::to_string(i)).c_str()), t0 + milliseconds(10 * i));
  // .3 made the table forget .1, whose penalty ends first.
  for (int i : {1, 2, 3})
    EXPECT_EQ(i == 1, a.admit(i, ip(("192.0.2." + std::to_string(i)).c_str()), t0 + seconds(1)));
}

}  // namespace
