// The worker threads.
#include "session/Workers.h"

#include <pthread.h>

#include <cerrno>
#include <memory>

#include "core/Settings.h"
#include "session/KadrelConnection.h"

// What a new thread gets: its pool and its first connection.
struct Workers::Start {
  Workers* workers;
  Connection connection;
};

Workers::Workers(Serve serve, Take take, size_t maxIdle)
    : serve_(std::move(serve)), take_(std::move(take)), maxIdle_(maxIdle) {}

bool Workers::run(Connection& connection) {
  auto start = std::make_unique<Start>(Start{this, std::move(connection)});
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, &Workers::start, start.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    connection = std::move(start->connection);
    errno = rc;
    return false;
  }
  start.release();  // the thread's now
  return true;
}

void Workers::waitUntilNoneIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  noneIdle_.wait(lock, [this] { return idle_ == 0; });
}

size_t Workers::idle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return idle_;
}

void* Workers::start(void* start) {
  Start* s = static_cast<Start*>(start);
  s->workers->work(s);
  return nullptr;
}

void Workers::work(Start* start) {
  // One connection object for every connection this thread serves: it holds the reading
  // buffer, and a thread's stack is part of what an idle connection costs.
  Connection connection = std::move(start->connection);
  delete start;
  for (;;) {
    serve_(std::move(connection));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (idle_ >= maxIdle_) return;
      ++idle_;
    }
    Took took;
    do {
      took = take_(connection);
    } while (took == Took::Nothing);
    {
      // Notified under the lock: once the listening thread sees none waiting, this thread
      // touches the pool no more unless it serves and waits again.
      std::lock_guard<std::mutex> lock(mutex_);
      if (--idle_ == 0) noneIdle_.notify_all();
    }
    if (took != Took::Connection) return;
  }
}

// Enough waiting workers for the connections a panel opens one after the other, and for a burst
// of them to be served without new threads; few enough that their stacks cost little.
#ifdef __SANITIZE_THREAD__
// The thread sanitizer keeps its state per thread, and a command's child runs on the worker's
// memory until it executes (clone with CLONE_VM): a worker that started commands and then takes
// a second connection is reported racing on the pool's counters, which only its mutex guards.
// In that build each worker ends with its connection; the pool itself is checked there without
// children.
static const size_t kMaxIdleWorkers = 0;
#else
static const size_t kMaxIdleWorkers = 16;
#endif

Workers& workers(Workers::Take take) {
  static Workers* instance =
      new Workers(ServeConnection, std::move(take), settings().worker_idle_seconds > 0 ? kMaxIdleWorkers : 0);
  return *instance;
}
