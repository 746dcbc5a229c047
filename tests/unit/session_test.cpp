// Who gets served: the cap on unauthenticated connections and the penalty table (on a clock the
// test moves), and the worker threads (reuse, and the bounds on how many wait and how long).
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
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

// A listed peer is exempt from penalties, and penalties can be turned off (loopback's exemption
// is checked on the wire). The table, bounded at two addresses, forgets the one whose penalty ends
// first.
TEST(Admission, ExemptionsAndTheBoundedTable) {
  // Penalty seconds, the allow-list, whether 192.0.2.7 is penalised.
  const std::tuple<int, std::string, bool> rows[] = {
      {2, "192.0.2.1;192.0.2.7", false}, {2, "192.0.2.1", true}, {0, "", false}};
  for (const auto& [duration, whitelist, penalised] : rows) {
    Admission::Limits limits;
    limits.penaltySeconds = duration;
    limits.whitelist = whitelist;
    Admission a = make(limits);
    a.failed(ip("192.0.2.7"), t0);
    EXPECT_EQ(!a.admit(1, ip("192.0.2.7"), t0), penalised) << duration << " / " << whitelist;
  }
  Admission::Limits limits;
  limits.penaltyTable = 2;
  Admission a = make(limits);
  for (int i : {1, 2, 3})
    a.failed(ip("192.0.2." + std::to_string(i)), t0 + std::chrono::milliseconds(10 * i));
  for (int i : {1, 2, 3}) EXPECT_EQ(i == 1, a.admit(i, ip("192.0.2." + std::to_string(i)), t0 + seconds(1)));
}

// Threads of this process. The first call starts and ends a thread first, so that the thread
// sanitizer's own thread (started with the first thread of a process) is already counted.
size_t threadCount() {
  static const bool settled = (std::thread([] {}).join(), true);
  (void)settled;
  size_t n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = d ? readdir(d) : nullptr) n += e->d_name[0] != '.';
  if (d) closedir(d);
  return n;
}

bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return done();
}

// The listening socket as waiting workers see it: connections the test makes, each taken by one
// waiting worker; a wait for one ends after `wait`, or at once while accepting fails.
struct Listening {
  explicit Listening(std::chrono::milliseconds w) : wait(w) {}
  Workers::Took take(Connection&) {
    if (failing) return Workers::Took::Failed;
    std::unique_lock<std::mutex> lock(m);
    if (!cv.wait_for(lock, wait, [this] { return pending > 0; })) return Workers::Took::Idle;
    --pending;
    return Workers::Took::Connection;
  }
  void connect() {
    std::lock_guard<std::mutex> lock(m);
    ++pending;
    cv.notify_one();
  }
  std::mutex m;
  std::condition_variable cv;
  size_t pending = 0;
  const std::chrono::milliseconds wait;
  std::atomic<bool> failing{false};
};

TEST(Workers, WaitingWorkersTakeTheNextConnectionsThemselvesAndAreBoundedInNumberAndTime) {
  std::atomic<size_t> served{0};
  std::mutex gate;  // held by the test: the connections stay in service
  const auto serve = [&](Connection&&) {
    ++served;
    std::lock_guard<std::mutex> pass(gate);
  };
  // The listening thread's part: a thread for each connection it took.
  const auto run = [](Workers& w, size_t connections) {
    for (size_t i = 0; i < connections; ++i) {
      Connection c;
      ASSERT_TRUE(w.run(c));
    }
  };
  const size_t before = threadCount();
  // Never destroyed: its waiting threads outlive the test body.
  Listening& listening = *new Listening(seconds(60));
  Workers& w = *new Workers(
      serve, [&](Connection& c) { return listening.take(c); }, 2);
  // The first connection gets a thread; those that follow one after the other go to that
  // thread, which takes them from the listener while it waits.
  run(w, 1);
  for (size_t i = 1; i <= 3; ++i) {
    if (i > 1) listening.connect();
    EXPECT_TRUE(eventually([&] { return served == i && w.idle() == 1 && threadCount() == before + 1; })) << i;
  }
  // Five at once: the waiting worker takes one; once none waits, the listening thread takes the
  // other four and starts a thread for each. Once they finish, only two stay waiting.
  gate.lock();
  listening.connect();
  w.waitUntilNoneIdle();
  run(w, 4);
  EXPECT_TRUE(eventually([&] { return served == 8 && threadCount() == before + 5; }));
  gate.unlock();
  EXPECT_TRUE(eventually([&] { return w.idle() == 2 && threadCount() == before + 2; }));
  // Workers whose waiting time ran out, or whose accepting failed, end; the connections after
  // them are served all the same.
  Listening& brief = *new Listening(std::chrono::milliseconds(20));
  Workers& b = *new Workers(
      serve, [&](Connection& c) { return brief.take(c); }, 4);
  for (size_t round = 1; round <= 4; ++round) {
    brief.failing = round % 2 == 0;
    run(b, 3);
    EXPECT_TRUE(eventually([&] { return served == 8 + 3 * round; })) << round;
    b.waitUntilNoneIdle();
    EXPECT_TRUE(eventually([&] { return threadCount() == before + 2; })) << round;
  }
  if (b.idle() == 0 && threadCount() == before + 2) {  // every one of its workers ended
    delete &b;
    delete &brief;
  }
}

}  // namespace
