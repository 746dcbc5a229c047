// Admission of connections before they authenticate: the cap on unauthenticated connections
// and the penalty for failed handshakes per source address. Thread-safe: the listener admits,
// worker threads report authentication, failures and closes.
//
// Contract with the owners of the descriptors: a connection is registered by its descriptor,
// and its thread calls leave() before it closes that descriptor. A connection evicted to make
// room is shut down (not closed) under the registry's lock, so the descriptor number can never
// belong to another connection at that moment; its own thread then notices and closes it.
#ifndef KADREL_SESSION_ADMISSION_H
#define KADREL_SESSION_ADMISSION_H

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

#include "sockets/AllowList.h"

class Admission {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    size_t maxUnauthenticated = 256;
    int penaltySeconds = 2;  // 0: no penalties
    int penaltyMaxSeconds = 300;
    bool penaltyLoopback = false;  // false: 127.0.0.0/8 never earns a penalty
    std::string whitelist;         // listed addresses never earn a penalty
    size_t penaltyTable = 4096;    // addresses remembered at most
  };
  // `evict` ends a registered connection without closing its descriptor; `log` writes one
  // warning line. Both run under the lock.
  Admission(const Limits& limits, std::function<void(int)> evict,
            std::function<void(const std::string&)> log);

  // A new connection from `peer` on descriptor `fd`. False when the address serves a penalty:
  // the caller closes the connection at once and registers nothing. Otherwise the connection
  // counts as unauthenticated, after making room by evicting the oldest connection of the
  // address that holds the most, if the cap is reached.
  bool admit(int fd, uint32_t peer, Clock::time_point now = Clock::now());
  // The connection authenticated or is about to be closed: it no longer counts. Harmless for
  // a descriptor that is not registered (already evicted, or never admitted).
  void leave(int fd);
  // A handshake from `peer` failed (wrong server id or passphrase).
  void failed(uint32_t peer, Clock::time_point now = Clock::now());

  size_t unauthenticated() const;
  // Addresses that serve a penalty at `now`.
  size_t penalised(Clock::time_point now = Clock::now()) const;
  // Seconds of the penalty `peer` serves at `now`; 0 when none.
  int penaltyLeft(uint32_t peer, Clock::time_point now = Clock::now()) const;

 private:
  struct Rank {  // an address's standing for eviction: most connections, then oldest first
    size_t count;
    uint64_t oldest;
    uint32_t addr;
    bool operator<(const Rank& o) const {
      if (count != o.count) return count > o.count;
      if (oldest != o.oldest) return oldest < o.oldest;
      return addr < o.addr;
    }
  };
  struct Penalty {
    Clock::time_point until;
    int seconds = 0;  // length of the last penalty
  };

  void unrank(uint32_t addr);
  void rank(uint32_t addr);
  void evictOne(Clock::time_point now);
  void forget(int fd);
  bool exempt(uint32_t peer) const;

  const Limits limits_;
  const std::function<void(int)> evict_;
  const std::function<void(const std::string&)> log_;

  mutable std::mutex mutex_;
  uint64_t next_ = 0;
  std::unordered_map<int, std::pair<uint32_t, uint64_t>> byFd_;   // fd -> address, sequence
  std::unordered_map<uint32_t, std::map<uint64_t, int>> byAddr_;  // address -> sequence -> fd
  std::set<Rank> ranks_;
  size_t evictedUnlogged_ = 0;
  Clock::time_point lastEvictLog_;
  bool evictLogged_ = false;
  std::unordered_map<uint32_t, Penalty> penalties_;
};

// The agent's one Admission, built from the process-wide settings on first use.
Admission& admission();

#endif
