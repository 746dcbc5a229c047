// The listening socket: bound to a port on all IPv4 addresses, with the longest accept queue
// the system allows. The TCP options every connection needs are set here once and inherited by
// each accepted connection.
#ifndef KADREL_SOCKETS_LISTENER_H
#define KADREL_SOCKETS_LISTENER_H

#include <string>

#include "core/Result.h"
#include "sockets/Connection.h"

class Listener {
 public:
  Listener() = default;
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Listens on `port`; accepted connections fail a write that makes no progress for
  // `stallSeconds` (0: never). Fails with "Could not create server socket.", "Could not bind to
  // port." or "Could not listen to socket." and the errno.
  Result listen(int port, int stallSeconds);

  // From now on accept() waits at most `seconds` (0: without end). Set before threads accept.
  void set_accept_timeout(int seconds);

  // Puts the next connection into `into`, with the allow-list `whitelist` applied to it (its
  // verdict logged); `into` stays without a connection (is_valid() false) when none came within
  // the accept timeout. Several threads may wait in it at once: each connection goes to one of
  // them. Fails with "Could not accept socket." and the errno.
  Result accept(const std::string& whitelist, Connection& into) const;

 private:
  int fd_ = -1;
  bool acceptTimeout_ = false;
};

#endif
