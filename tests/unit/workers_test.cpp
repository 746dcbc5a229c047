// The worker threads: reuse, and the bounds on how many wait and for how long.
#include "session/Workers.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

// Threads of this process. The first call starts and ends a thread first, so that the thread
// sanitizer's own thread (started with the first thread of a process) is already counted.
size_t threadCount() {
  static const bool settled = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)settled;
  size_t n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = d ? readdir(d) : nullptr)
    if (e->d_name[0] != '.') ++n;
  if (d) closedir(d);
  return n;
}

bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// Records which thread served each connection; holds every one while `hold` is set.
struct Recorder {
  std::mutex m;
  std::condition_variable cv;
  bool hold = false;
  std::vector<pthread_t> servedBy;

  void serve(Connection&&) {
    std::unique_lock<std::mutex> lock(m);
    servedBy.push_back(pthread_self());
    cv.notify_all();
    cv.wait(lock, [this] { return !hold; });
  }
  size_t served() {
    std::lock_guard<std::mutex> lock(m);
    return servedBy.size();
  }
  void release() {
    std::lock_guard<std::mutex> lock(m);
    hold = false;
    cv.notify_all();
  }
};

TEST(Workers, FinishedThreadServesTheNextConnectionAndWaitingIsBounded) {
  Recorder r;
  const size_t before = threadCount();
  // Never destroyed: its waiting threads may outlive the test body.
  Workers& w = *new Workers([&](Connection&& c) { r.serve(std::move(c)); }, 2, std::chrono::seconds(60));

  // One after the other: the same thread serves all.
  for (int i = 0; i < 3; ++i) {
    Connection c;
    ASSERT_TRUE(w.run(c));
    ASSERT_TRUE(eventually([&] { return r.served() == static_cast<size_t>(i + 1) && w.idle() == 1; }));
  }
  EXPECT_EQ(std::set<pthread_t>(r.servedBy.begin(), r.servedBy.end()).size(), 1u);

  // Five at once take five threads; once they finish, only two stay waiting.
  {
    std::lock_guard<std::mutex> lock(r.m);
    r.hold = true;
  }
  for (int i = 0; i < 5; ++i) {
    Connection c;
    ASSERT_TRUE(w.run(c));
  }
  ASSERT_TRUE(eventually([&] { return r.served() == 8; }));
  EXPECT_EQ(threadCount(), before + 5);
  r.release();
  EXPECT_TRUE(eventually([&] { return w.idle() == 2 && threadCount() == before + 2; }));
}

TEST(Workers, ConnectionsAreServedAfterWaitingWorkersExpired) {
  Recorder r;
  const size_t before = threadCount();
  Workers& w = *new Workers([&](Connection&& c) { r.serve(std::move(c)); }, 4, std::chrono::milliseconds(20));
  for (int round = 1; round <= 3; ++round) {
    for (int i = 0; i < 3; ++i) {
      Connection c;
      ASSERT_TRUE(w.run(c));
    }
    EXPECT_TRUE(eventually([&] { return r.served() == static_cast<size_t>(3 * round); })) << round;
    EXPECT_TRUE(eventually([&] { return w.idle() == 0 && threadCount() == before; })) << round;
  }
  if (w.idle() == 0 && threadCount() == before) delete &w;  // every worker has ended
}

}  // namespace
