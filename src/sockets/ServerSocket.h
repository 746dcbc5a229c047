// The listening socket and every accepted connection; failures throw SocketException.
#ifndef KADREL_SOCKETS_SERVERSOCKET_H
#define KADREL_SOCKETS_SERVERSOCKET_H

#include <string>

#include "sockets/Socket.h"
#include "sockets/SocketException.h"

class ServerSocket : public Socket {
 public:
  ServerSocket() = default;
  // A listening socket on `port` (all addresses); throws on create, bind or listen failure.
  explicit ServerSocket(int port);
  // Takes the descriptor and the verdict over; `other` no longer closes it.
  ServerSocket(ServerSocket& other) { take_over(other); }
  ~ServerSocket() override;

  void accept(ServerSocket& sock) const;
  const ServerSocket& operator<<(const std::string& s) const;
  const ServerSocket& operator>>(std::string& s) const;
  void close();
};

#endif
