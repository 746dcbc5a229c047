// The worker threads that serve connections. A worker that finished its connection waits for
// the next one for a bounded time, and only a bounded number of workers wait: a connection
// goes to a waiting worker when there is one, and gets a new thread only when none waits.
#ifndef KADREL_SESSION_WORKERS_H
#define KADREL_SESSION_WORKERS_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "sockets/Connection.h"

class Workers {
 public:
  using Serve = std::function<void(Connection&&)>;
  // Each connection goes to `serve` on a worker thread; at most `maxIdle` workers wait, each for
  // at most `idleTime`.
  Workers(Serve serve, size_t maxIdle, std::chrono::milliseconds idleTime);
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Hands `connection` to a waiting worker or a new thread. False when no thread could be
  // started: the connection is then still the caller's.
  bool run(Connection& connection);

  // Workers waiting for a connection now.
  size_t idle() const;

 private:
  static void* start(void* self);
  void work();

  const Serve serve_;
  const size_t maxIdle_;
  const std::chrono::milliseconds idleTime_;

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  size_t idle_ = 0;               // workers waiting for a connection
  size_t starting_ = 0;           // threads started that have not looked for a connection yet
  std::deque<Connection> queue_;  // handed over, not taken by a worker yet
};

// The agent's workers: they serve connections with ServeConnection and wait
// worker_idle_seconds. Never destroyed, so that a waiting worker outlives any exit path.
Workers& workers();

#endif
