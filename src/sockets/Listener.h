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

  // The next connection, with the allow-list `whitelist` applied to it (its verdict logged);
  // throws SocketException("Could not accept socket.", errno) on failure.
  Connection accept(const std::string& whitelist) const;

 private:
  int fd_ = -1;
};

#endif
