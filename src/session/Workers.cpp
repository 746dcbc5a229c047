// The worker threads.
#include "session/Workers.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>

#include "core/Settings.h"
#include "session/KadrelConnection.h"

Workers::Workers(Serve serve, size_t maxIdle, std::chrono::milliseconds idleTime)
    : serve_(std::move(serve)), maxIdle_(maxIdle), idleTime_(idleTime) {}

bool Workers::run(Connection& connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(connection));
  // Every queued connection has a worker that will take it: a waiting one, or a new thread.
  if (idle_ + starting_ >= queue_.size()) {
    ready_.notify_one();
    return true;
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, start, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    connection = std::move(queue_.back());
    queue_.pop_back();
    errno = rc;
    return false;
  }
  ++starting_;
  return true;
}

size_t Workers::idle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return idle_;
}

void* Workers::start(void* self) {
  static_cast<Workers*>(self)->work();
  return nullptr;
}

void Workers::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  --starting_;
  for (;;) {
    if (queue_.empty()) {
      if (idle_ >= maxIdle_) return;
      ++idle_;
      const bool handed = ready_.wait_for(lock, idleTime_, [this] { return !queue_.empty(); });
      --idle_;
      if (!handed) return;
    }
    Connection connection = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    serve_(std::move(connection));
    lock.lock();
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

Workers& workers() {
  static Workers* instance = new Workers(ServeConnection, kMaxIdleWorkers,
                                         std::chrono::seconds(std::max(settings().worker_idle_seconds, 0)));
  return *instance;
}
