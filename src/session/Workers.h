// The worker threads that serve connections. A worker that finished its connection waits for
// the next one for a bounded time, and only a bounded number of workers wait. A waiting worker
// takes the next connection from the listener itself, so that a connection goes straight to
// the thread that serves it; the listening thread takes connections only while no worker
// waits, and gives each of those a new thread.
#ifndef KADREL_SESSION_WORKERS_H
#define KADREL_SESSION_WORKERS_H

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

#include "sockets/Connection.h"

class Workers {
 public:
  using Serve = std::function<void(Connection&&)>;
  // What one wait for a connection brought.
  enum class Took {
    Connection,  // one to serve
    Nothing,     // none to serve (refused, or a passing failure): wait again
    Idle,        // none came within the waiting time
    Failed,      // accepting failed for good: the worker ends, the listening thread decides
  };
  // Waits for the next connection; at most for the time a worker may wait.
  using Take = std::function<Took(Connection&)>;

  // Each connection goes to `serve` on a worker thread; at most `maxIdle` workers wait in `take`.
  Workers(Serve serve, Take take, size_t maxIdle);
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Serves `connection` on a new thread. False when no thread could be started: the connection
  // is then still the caller's.
  bool run(Connection& connection);

  // Returns once no worker waits for a connection: the listening thread's turn to take one.
  void waitUntilNoneIdle();

  // Workers waiting for a connection now.
  size_t idle() const;

 private:
  struct Start;
  static void* start(void* start);
  void work(Start* start);

  const Serve serve_;
  const Take take_;
  const size_t maxIdle_;

  mutable std::mutex mutex_;
  std::condition_variable noneIdle_;
  size_t idle_ = 0;  // workers waiting for a connection
};

// The agent's workers: they serve connections with ServeConnection and wait for the next one
// with `take`, which waits no longer than worker_idle_seconds. Made by the first call (later
// calls return the same); never destroyed, so that a waiting worker outlives any exit path.
Workers& workers(Workers::Take take);

#endif
