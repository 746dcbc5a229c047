// Throwing wrappers of the Socket operations.
#include "sockets/ServerSocket.h"

#include <cerrno>

ServerSocket::ServerSocket(int port) {
  if (!Socket::create()) {
    Socket::close();
    throw SocketException("Could not create server socket.", errno);
  }
  if (!Socket::bind(port)) {
    int err = errno;
    Socket::close();
    throw SocketException("Could not bind to port.", err);
  }
  if (!Socket::listen()) {
    int err = errno;
    Socket::close();
    throw SocketException("Could not listen to socket.", err);
  }
}

ServerSocket::~ServerSocket() { close(); }

void ServerSocket::accept(ServerSocket& sock) const {
  if (!Socket::accept(sock)) throw SocketException("Could not accept socket.", errno);
}

const ServerSocket& ServerSocket::operator<<(const std::string& s) const {
  if (!Socket::send(s)) throw SocketException("Could not write to socket.", errno);
  return *this;
}

const ServerSocket& ServerSocket::operator>>(std::string& s) const {
  int n;
  try {
    n = Socket::recv(s);
  } catch (const FrameError& e) {
    throw SocketException(std::string("Could not read from socket ") + e.what());
  }
  if (n == 0) throw SocketException("Could not read from socket.");
  return *this;
}

void ServerSocket::close() { Socket::close(); }
