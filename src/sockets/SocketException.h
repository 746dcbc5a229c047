// The socket layer's exception: a plain class (not a std::exception) carrying one text, and
// the system error code where one caused it (0 otherwise).
#ifndef KADREL_SOCKETS_SOCKETEXCEPTION_H
#define KADREL_SOCKETS_SOCKETEXCEPTION_H

#include <string>

class SocketException {
 public:
  explicit SocketException(std::string s, int err = 0) : m_s(std::move(s)), m_errno(err) {}
  std::string description() const { return m_s; }
  int error() const { return m_errno; }

 private:
  std::string m_s;
  int m_errno;
};

#endif
