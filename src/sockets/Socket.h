// IPv4 TCP socket: listening, accepting with the peer allow-list, reading one framed request
// and writing one reply. Blocking throughout. A Socket is used by one thread at a time.
//
// Frame: the payload length in ASCII decimal, ":", then exactly that many payload bytes.
// recv() never asks the kernel for more than the current frame still needs, so the bytes of
// a following frame stay queued for the next call.
#ifndef KADREL_SOCKETS_SOCKET_H
#define KADREL_SOCKETS_SOCKET_H

#include <netinet/in.h>

#include <chrono>
#include <climits>
#include <stdexcept>
#include <string>

const int MAXRECV = 65536;  // largest number of bytes taken by one read call

// A frame that cannot be read. Its text is always our own fixed wording, whatever library the
// reader uses, since it becomes part of a log line.
class FrameError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Socket {
 public:
  Socket();
  virtual ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool create();
  bool bind(int port);
  bool listen() const;
  // Accepts one connection into new_socket and applies the allow-list to it. On failure
  // returns false with errno set by accept.
  bool accept(Socket& new_socket) const;

  // Writes all of s (MSG_NOSIGNAL). False on failure, with errno EAGAIN when the deadline
  // passed or a write made no progress for the stall time.
  bool send(const std::string& s) const { return send(s.data(), s.size()); }
  bool send(const char* data, size_t n) const;
  // Sends what the pipe `fd` yields, as it arrives, until its end of file: spliced from the
  // pipe to the socket where the kernel allows it, else copied in blocks of 256 KiB. `moved`
  // counts every byte taken from the pipe. False when the peer stopped taking bytes: the rest
  // of the pipe is then read and dropped, so that its writer can finish. Together with send(),
  // the only writes of a streamed reply: a limit on how long a write may make no progress
  // belongs in these two.
  bool send_from_pipe(int fd, unsigned long long& moved) const;
  // Reads one frame's payload into s. Returns > 0 when the frame is complete, 0 when the peer
  // closed (before or within the frame) or a read failed. Throws FrameError for a
  // malformed frame (bad length prefix, negative length, over the frame limit) or when the
  // read deadline passes.
  int recv(std::string& s) const;

  // Largest payload recv() accepts; larger frames are refused before anything is allocated.
  void set_frame_limit(long long limit) { m_framelimit = limit; }
  // recv() and send() fail once this moment passes; clear_deadline() lifts it.
  void set_deadline(std::chrono::steady_clock::time_point when);
  void clear_deadline() { m_hasdeadline = false; }
  // Without a deadline, a write that makes no progress for `seconds` fails (SO_SNDTIMEO, so
  // it holds for every write on the descriptor, spliced ones included). 0: never.
  bool set_stall_timeout(int seconds);

  bool close();
  // Closes after a reply so that the reply survives: with input still unread, closing would
  // send a reset that destroys what the peer has not read yet, so the sending side is shut
  // down first and the input drained briefly.
  bool close_after_reply();
  bool is_valid() const { return m_sock != -1; }

  int m_sock;
  sockaddr_in m_addr;
  bool ipdenied;

 protected:
  // Hands the descriptor and verdict of `other` to this socket; `other` no longer owns it.
  void take_over(Socket& other);

 private:
  long recv_some(char* buf, size_t len, int flags) const;

  long long m_framelimit = INT_MAX;
  bool m_hasdeadline = false;
  std::chrono::steady_clock::time_point m_deadline;
};

// True when the peer address `ip` (dotted decimal) may connect under the allow-list `list`.
// `logged` receives the log line to write, or stays empty when no check was made.
bool whitelistAllows(const std::string& list, const std::string& ip, std::string& logged);

#endif
