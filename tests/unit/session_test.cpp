// Who gets served: the cap on unauthenticated connections and the penalty table (on a clock the
// test moves), and the worker threads (reuse, and the bounds on how many wait and how long).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "session/Admission.h"
#include "session/Workers.h"

namespace {

using std::chrono::seconds;

uint32_t ip(const std::string& text) { return inet_addr(text.c_str()); }

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
  // .2 holds the most: its oldest goes, twice; then .1 holds the most: its own oldest goes.
  for (int fd : {14, 15, 16}) ASSERT_TRUE(a.admit(fd, ip("127.0.0.1"), t0));
  EXPECT_EQ(evicted, (std::vector<int>{10, 11, 14}));
  EXPECT_EQ(a.unauthenticated(), 4u);
  // Leaving twice (authenticated, then closed), an unknown descriptor or an evicted one frees
  // no further place. Then equal counts: the address whose oldest connection is oldest (.3).
  for (int fd : {15, 16, 16, 99, 10}) a.leave(fd);
  for (int fd : {17, 18, 19}) ASSERT_TRUE(a.admit(fd, ip("127.0.1." + std::to_string(fd)), t0));
  EXPECT_EQ(evicted, (std::vector<int>{10, 11, 14, 12}));
}

// Penalties double up to the bound while an address keeps failing, and start afresh after a
// quiet spell longer than the bound. A listed peer is exempt, and penalties can be turned off
// (loopback's exemption is checked on the wire). The table, bounded at two addresses, forgets
// the one whose penalty ends first.
TEST(Admission, FailedHandshakesEarnDoublingPenaltiesUpToTheBound) {
  Admission::Limits limits;
  limits.penaltyMaxSeconds = 5;
  limits.whitelist = "192.0.2.1;192.0.2.9";
  Admission a = make(limits);
  const uint32_t guesser = ip("192.0.2.7");
  a.failed(guesser, t0);
  EXPECT_FALSE(a.admit(1, guesser, t0 + seconds(1)));
  EXPECT_TRUE(a.admit(2, ip("192.0.2.8"), t0 + seconds(1)));
  a.failed(guesser, t0 + seconds(1));  // a connection opened before the penalty: no new one
  EXPECT_TRUE(a.admit(3, guesser, t0 + seconds(2)));
  for (const auto& [at, left] : {std::pair{2, 4}, {6, 5}, {30, 2}}) {
    a.failed(guesser, t0 + seconds(at));
    EXPECT_EQ(a.penaltyLeft(guesser, t0 + seconds(at)), left) << at;
  }
  a.failed(ip("192.0.2.9"), t0);
  EXPECT_TRUE(a.admit(4, ip("192.0.2.9"), t0));
  limits.penaltySeconds = 0;
  Admission off = make(limits);
  off.failed(guesser, t0);
  EXPECT_TRUE(off.admit(1, guesser, t0));
  limits.penaltySeconds = 2;
  limits.penaltyTable = 2;
  Admission bounded = make(limits);
  for (int i : {1, 2, 3})
    bounded.failed(ip("192.0.3." + std::to_string(i)), t0 + std::chrono::milliseconds(i));
  for (int i : {1, 2, 3})
    EXPECT_EQ(i == 1, bounded.admit(i, ip("192.0.3." + std::to_string(i)), t0 + seconds(1)));
}

bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return done();
}

// A burst gets a thread for each connection; once they finish, only two stay waiting, and they
// take the next connections from the listener themselves. Workers whose waiting time ran out end.
TEST(Workers, WaitingWorkersTakeTheNextConnectionsThemselvesAndAreBoundedInNumberAndTime) {
  std::atomic<size_t> served{0};
  std::mutex gate;  // held by the test: the connections stay in service
  int listener[2];  // a byte is a connection for the worker that reads it; the end ends every wait
  ASSERT_EQ(0, pipe(listener));
  // Deleted once none of its workers waits any more: they then leave it alone.
  Workers& w = *new Workers(
      [&](Connection&&) {
        ++served;
        std::lock_guard<std::mutex> pass(gate);
      },
      [fd = listener[0]](Connection&) {
        char c;
        return read(fd, &c, 1) == 1 ? Workers::Took::Connection : Workers::Took::Idle;
      },
      2);
  gate.lock();
  for (int i = 0; i < 5; ++i) {
    Connection c;
    ASSERT_TRUE(w.run(c));
  }
  EXPECT_TRUE(eventually([&] { return served == 5; }));  // each on a thread of its own
  gate.unlock();
  EXPECT_TRUE(eventually([&] { return w.idle() == 2; }));
  ASSERT_EQ(3, write(listener[1], "abc", 3));
  EXPECT_TRUE(eventually([&] { return served == 8 && w.idle() == 2; }));
  close(listener[1]);
  ASSERT_TRUE(eventually([&] { return w.idle() == 0; }));
  close(listener[0]);
  delete &w;
}

}  // namespace
