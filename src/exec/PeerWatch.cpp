// The watch of the current thread and its rate-limited question to the connection.
#include "exec/PeerWatch.h"

#include <poll.h>

#include <cerrno>
#include <chrono>

const char kPeerGoneWarning[] =
    "There was a problem with the instruction: the panel has gone; its work was stopped";

// How long a result of the connection's answer is trusted, and how often a wait wakes to ask.
static const long long kAskEveryNs = 20 * 1000 * 1000;
static const int kWaitSliceMs = 100;

static thread_local PeerWatch* current_watch = nullptr;

PeerWatch::PeerWatch(std::function<bool()> gone, int fd, short events)
    : ask_(std::move(gone)), fd_(fd), events_(events), previous_(current_watch) {
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
  return ask();
}

bool PeerWatch::goneNow() { return gone_.load(std::memory_order_relaxed) || ask(); }

bool PeerWatch::ask() {
  if (ask_()) gone_.store(true);
  return gone_.load();
}

PeerWatch* PeerWatch::current() { return current_watch; }

void PeerWatch::forgetInChild() { current_watch = nullptr; }

bool peerGone() { return current_watch != nullptr && current_watch->gone(); }

bool waitReadable(int fd, PeerWatch* watch) {
  // The connection's descriptor is left out once it showed an event that did not mean its peer
  // had gone, so that a level-triggered event cannot turn the wait into a busy loop.
  bool watchDescriptor = watch != nullptr && watch->fd_ >= 0;
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0},
                   {watchDescriptor ? watch->fd_ : -1, watchDescriptor ? watch->events_ : short(0), 0}};
    const int slice = watch == nullptr ? -1 : watchDescriptor ? -1 : kWaitSliceMs;
    const int r = poll(p, watchDescriptor ? 2 : 1, slice);
    if (r > 0 && p[0].revents != 0) return true;
    if (r < 0 && errno != EINTR) return true;  // the read that follows reports it
    if (watch == nullptr) continue;
    if (r > 0) {
      if (watch->goneNow()) return false;
      watchDescriptor = false;
    } else if (watch->gone()) {
      return false;
    }
  }
}
