// The registry of unauthenticated connections and the penalty table.
#include "session/Admission.h"

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>

#include "core/Log.h"
#include "core/Metrics.h"
#include "core/Settings.h"
#include "sockets/AllowList.h"

Admission::Admission(const Limits& limits, std::function<void(int)> evict,
                     std::function<void(const std::string&)> log)
    : limits_(limits), evict_(std::move(evict)), log_(std::move(log)) {}

void Admission::unrank(uint32_t addr) {
  auto it = byAddr_.find(addr);
  if (it == byAddr_.end() || it->second.empty()) return;
  ranks_.erase(Rank{it->second.size(), it->second.begin()->first, addr});
}

void Admission::rank(uint32_t addr) {
  auto it = byAddr_.find(addr);
  if (it == byAddr_.end()) return;
  if (it->second.empty()) {
    byAddr_.erase(it);
    return;
  }
  ranks_.insert(Rank{it->second.size(), it->second.begin()->first, addr});
}

void Admission::evictOne(Clock::time_point now) {
  const uint32_t addr = ranks_.begin()->addr;
  unrank(addr);
  auto& conns = byAddr_[addr];
  const int fd = conns.begin()->second;
  conns.erase(conns.begin());
  byFd_.erase(fd);
  rank(addr);
  evict_(fd);
  CountConnection(ConnectionOutcome::RefusedCap);

  ++evictedUnlogged_;
  if (!evictLogged_ || now - lastEvictLog_ >= std::chrono::seconds(1)) {
    log_("Unauthenticated connections at the limit of " + std::to_string(limits_.maxUnauthenticated) +
         ": closed " + std::to_string(evictedUnlogged_) + ", the last from " + addressText(addr));
    evictedUnlogged_ = 0;
    lastEvictLog_ = now;
    evictLogged_ = true;
  }
}

bool Admission::admit(int fd, uint32_t peer, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto p = penalties_.find(peer);
  if (p != penalties_.end() && now < p->second.until) {
    CountConnection(ConnectionOutcome::Penalised);
    return false;
  }

  if (byFd_.count(fd)) forget(fd);  // a stale entry: its descriptor was closed and reused
  while (!byFd_.empty() && byFd_.size() >= std::max<size_t>(limits_.maxUnauthenticated, 1)) evictOne(now);
  const uint64_t seq = next_++;
  unrank(peer);
  byAddr_[peer].emplace(seq, fd);
  rank(peer);
  byFd_[fd] = {peer, seq};
  return true;
}

void Admission::leave(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  forget(fd);
}

void Admission::forget(int fd) {
  auto it = byFd_.find(fd);
  if (it == byFd_.end()) return;
  const uint32_t addr = it->second.first;
  unrank(addr);
  byAddr_[addr].erase(it->second.second);
  rank(addr);
  byFd_.erase(it);
}

bool Admission::exempt(uint32_t peer) const {
  if (!limits_.penaltyLoopback && (ntohl(peer) >> 24) == 127) return true;
  std::string logged;
  // Only an address the allow-list names; an empty list allows all but names none.
  return allowListAllows(limits_.whitelist, addressText(peer), logged) && !logged.empty();
}

void Admission::failed(uint32_t peer, Clock::time_point now) {
  if (limits_.penaltySeconds <= 0 || exempt(peer)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = penalties_.find(peer);
  if (it != penalties_.end() && now < it->second.until) return;  // opened before its penalty

  const int most = std::max(limits_.penaltyMaxSeconds, 1);
  int seconds = std::min(limits_.penaltySeconds, most);
  if (it != penalties_.end()) {
    // Doubling while the address keeps failing; a long enough quiet spell starts it afresh.
    if (now - it->second.until <= std::chrono::seconds(most))
      seconds = static_cast<int>(std::min<long long>(2LL * it->second.seconds, most));
  } else {
    if (penalties_.size() >= std::max<size_t>(limits_.penaltyTable, 1)) {
      // Full: forget the address whose penalty ended (or ends) first.
      auto oldest = std::min_element(penalties_.begin(), penalties_.end(), [](const auto& a, const auto& b) {
        return a.second.until < b.second.until;
      });
      penalties_.erase(oldest);
    }
    it = penalties_.emplace(peer, Penalty()).first;
  }
  it->second.seconds = seconds;
  it->second.until = now + std::chrono::seconds(seconds);
  log_("Penalty of " + std::to_string(seconds) + " s for " + addressText(peer) + " after a failed handshake");
}

size_t Admission::unauthenticated() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return byFd_.size();
}

size_t Admission::penalised(Clock::time_point now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(std::count_if(penalties_.begin(), penalties_.end(),
                                           [now](const auto& p) { return now < p.second.until; }));
}

int Admission::penaltyLeft(uint32_t peer, Clock::time_point now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = penalties_.find(peer);
  if (it == penalties_.end() || now >= it->second.until) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::seconds>(it->second.until - now).count());
}

// A quarter of the descriptor limit, so that silent peers leave most descriptors to the panel.
static size_t defaultCap() {
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 1 << 16;
  return std::max<size_t>(static_cast<size_t>(std::min<rlim_t>(rl.rlim_cur, INT_MAX)) / 4, 1);
}

Admission& admission() {
  static Admission instance(
      [] {
        const Settings& s = settings();
        Admission::Limits l;
        l.maxUnauthenticated =
            s.max_unauthenticated > 0 ? static_cast<size_t>(s.max_unauthenticated) : defaultCap();
        l.penaltySeconds = s.penalty_seconds;
        l.penaltyMaxSeconds = s.penalty_max_seconds;
        l.penaltyLoopback = s.penalty_loopback;
        l.whitelist = s.whitelist;
        return l;
      }(),
      [](int fd) { ::shutdown(fd, SHUT_RDWR); },
      [](const std::string& line) { Log_warn("%s", line.c_str()); });
  return instance;
}
