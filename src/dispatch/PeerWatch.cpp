// The watch of the current thread and its rate-limited question to the connection.
#include "dispatch/PeerWatch.h"

#include <poll.h>

#include <cerrno>
#include <chrono>

const char kPeerGoneWarning[] =
    "There was a problem with the instruction: the panel has gone; its work was stopped";

// How long a result of the connection's answer is trusted, and how often a wait wakes to ask.
static const long long kAskEveryNs = 20 * 1000 * 1000;
static const int kWaitSliceMs = 100;

static thread_local PeerWatch* current_watch = nullptr;

PeerWatch::PeerWatch(std::function<bool()> gone) : ask_(std::move(gone)), previous_(current_watch) {
  current_watch = this;
}

PeerWatch::~PeerWatch() { current_watch = previous_; }

bool PeerWatch::gone() {
  if (gone_.load(std::memory_order_relaxed)) return true;
  const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
  long long next = nextAsk_.load(std::memory_order_relaxed);
  // One thread asks per interval; the others take the last answer.
  if (now < next || !nextAsk_.compare_exchange_strong(next, now + kAskEveryNs)) return false;
  if (ask_()) gone_.store(true);
  return gone_.load();
}

PeerWatch* PeerWatch::current() { return current_watch; }

void PeerWatch::forgetInChild() { current_watch = nullptr; }

bool peerGone() { return current_watch != nullptr && current_watch->gone(); }

bool waitReadable(int fd, PeerWatch* watch) {
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    const int r = poll(&p, 1, watch != nullptr ? kWaitSliceMs : -1);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return true;  // the read that follows reports it
    if (watch != nullptr && watch->gone()) return false;
  }
}
