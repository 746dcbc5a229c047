// The listening socket: bound to a port on all IPv4 addresses, with the longest accept queue
// the system allows. The TCP options every connection needs are set here once and inherited by
// each accepted connection.
#ifndef KADREL_SOCKETS_LISTENER_H
#define KADREL_SOCKETS_LISTENER_H

#include <string>

#include "sockets/Connection.h"
#include "sockets/SocketException.h"

class Listener {
 public:
  // Listens on `port`; accepted connections fail a write that makes no progress for
  // `stallSeconds` (0: never). Throws SocketException on create, bind or listen failure.
  Listener(int port, int stallSeconds);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // From now on accept() waits at most `seconds` (0: without end). Set before threads accept.
  void set_accept_timeout(int seconds);

  // The next connection, with the allow-list `whitelist` applied to it (its verdict logged); no
  // connection (is_valid() false) when none came within the accept timeout. Several threads
  // may wait in it at once: each connection goes to one of them. Throws
  // SocketException("Could not accept socket.", errno) on failure.
  Connection accept(const std::string& whitelist) const;

 private:
  int fd_ = -1;
  bool acceptTimeout_ = false;
};

#endif
