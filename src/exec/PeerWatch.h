// Whether the panel that an instruction works for is still there. The session installs a watch
// on its thread for every instruction whose reply the panel waits for; long work asks it between
// steps (the entries of a walk, the blocks of a file) and while it waits for a child, and stops
// once the peer has gone. Work without a watch (no reply wanted, the agent's own callers, a
// forked child) never stops for it. One watch may be asked from several threads at once.
#ifndef KADREL_EXEC_PEERWATCH_H
#define KADREL_EXEC_PEERWATCH_H

#include <atomic>
#include <functional>

// The warning logged once when work stops because its panel has gone.
extern const char kPeerGoneWarning[];

class PeerWatch {
 public:
  // Installs `gone` (asks the connection whether its peer has gone) as this thread's watch for
  // the scope of the object; the watch installed before comes back afterwards. `fd`, when not
  // -1, is the connection's descriptor, and `events` the poll events (besides the hang-up and
  // error ones, always reported) that show its peer may have gone: a wait for work then sleeps
  // until the work or the descriptor has something, instead of waking every slice to ask.
  explicit PeerWatch(std::function<bool()> gone, int fd = -1, short events = 0);
  ~PeerWatch();
  PeerWatch(const PeerWatch&) = delete;
  PeerWatch& operator=(const PeerWatch&) = delete;

  // True once the peer has gone, and from then on. Asks the connection at most every few
  // milliseconds, so that it costs next to nothing per step of a fast walk.
  bool gone();
  // The same, asking the connection at once (its descriptor showed an event).
  bool goneNow();

  // This thread's watch, or null. Work handed to helper threads passes it on itself.
  static PeerWatch* current();
  // A forked child holds none of the agent's sockets: its copy of the watch must not ask.
  static void forgetInChild();

 private:
  friend bool waitReadable(int fd, PeerWatch* watch);
  bool ask();

  std::function<bool()> ask_;
  const int fd_;
  const short events_;
  PeerWatch* previous_;
  std::atomic<bool> gone_{false};
  std::atomic<long long> nextAsk_{0};
};

// The current thread's watch says that its peer has gone (false without a watch).
bool peerGone();

// Waits until `fd` can be read (data, end of file or an error): true; false as soon as `watch`
// says that its peer has gone. Without a watch (null) it waits as long as it takes. A watch
// with a descriptor is asked when that descriptor shows an event, one without every 100 ms.
bool waitReadable(int fd, PeerWatch* watch);

#endif
