// One accepted TCP connection: reading framed requests, writing replies (whole, or streamed from
// a command's pipe) and closing so that the last reply survives. Blocking, used by one thread
// at a time; it owns its descriptor and closes it when destroyed.
//
// A deadline, while set, bounds every read and write: each reads or writes what is possible at
// once and waits (for no longer than the deadline leaves) only when nothing is. After start_tls
// the same holds through TLS (sockets/Tls.h).
#ifndef KADREL_SOCKETS_CONNECTION_H
#define KADREL_SOCKETS_CONNECTION_H

#include <netinet/in.h>

#include <chrono>
#include <string>

#include "core/Result.h"
#include "sockets/FrameReader.h"

struct ssl_st;
struct ssl_ctx_st;

class Connection {
 public:
  Connection() = default;
  // Takes over the connected descriptor `fd` from the peer `peer`.
  explicit Connection(int fd, const sockaddr_in& peer = sockaddr_in());
  Connection(Connection&& other) noexcept;
  Connection& operator=(Connection&& other) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  int fd() const { return fd_; }
  const sockaddr_in& peer() const { return peer_; }
  bool is_valid() const { return fd_ != -1; }
  // The allow-list refused the peer: the connection is closed without a word.
  bool denied() const { return denied_; }
  void set_denied(bool denied) { denied_ = denied; }

  // Writes all of s (MSG_NOSIGNAL). False on failure, with errno EAGAIN when the deadline
  // passed or, without one, a write made no progress for the stall time (SO_SNDTIMEO, set by
  // the listener, so it holds for every write on the descriptor, spliced ones included).
  bool send(const std::string& s) const { return send(s.data(), s.size()); }
  bool send(const char* data, size_t size) const;
  // Sends what the pipe `fd` yields, as it arrives, until its end of file: spliced from the
  // pipe to the socket where the kernel allows it, else copied in blocks of 1 MiB. `moved`
  // counts every byte taken from the pipe. False when the peer stopped taking bytes: the rest
  // of the pipe is then read and dropped, so that its writer can finish. Together with send(),
  // the only writes of a streamed reply: a limit on how long a write may make no progress
  // belongs in these two. A non-blocking pipe is sent as far as it holds bytes now.
  bool send_from_pipe(int fd, unsigned long long& moved) const;
  // Reads one frame's payload into s. Returns > 0 when the frame is complete, 0 when the peer
  // closed (before or within the frame) or a read failed. Throws FrameError for a malformed
  // frame or when the deadline passes.
  int recv(std::string& s);

  // The same as send() and recv(), failures in our words: "Could not write to socket." (with
  // the errno), "Could not read from socket." or "Could not read from socket " and the frame's
  // fault.
  Result write(const std::string& s) const;
  Result read(std::string& s);

  // Largest payload recv() accepts; larger frames are refused before their payload is stored.
  void set_frame_limit(long long limit) { reader_.set_limit(limit); }
  // recv() and send() fail once this moment passes; clear_deadline() lifts it.
  void set_deadline(std::chrono::steady_clock::time_point when);
  void clear_deadline() { hasDeadline_ = false; }
  // True when a deadline is set and has passed.
  bool deadline_passed() const { return hasDeadline_ && std::chrono::steady_clock::now() >= deadline_; }

  // Shakes hands as the TLS server with `context` (within the deadline, when one is set); from
  // then on every read, write and close goes through TLS (sockets/Tls.cpp). False, with
  // `failure` saying why, when the handshake failed: the connection is then only to be closed.
  // `refused` names what the peer failed: "certificate" (none, or one the client CA did not
  // sign), "tls" (anything else it sent); null when it closed or ran out of time.
  bool start_tls(ssl_ctx_st* context, std::string& failure, const char*& refused);

  bool close();
  // Closes after a reply so that the reply survives: with input still unread, closing would
  // send a reset that destroys what the peer has not read yet, so the sending side is shut
  // down first and the input drained briefly.
  bool close_after_reply();

 private:
  // One receive into `buf`: what is there at once, else after waiting within the deadline.
  long receive(char* buf, size_t len);
  // Waits until the descriptor is ready for `events`; false once the deadline passed.
  bool waitReady(short events) const;

  // The TLS side of send(), receive(), send_from_pipe() and close() (sockets/Tls.cpp).
  bool tlsSend(const char* data, size_t size) const;
  // What one TLS read gave (> 0), 0 at the end of the stream, -1 on failure, or kTlsWaited
  // after waiting for the descriptor to become ready (the caller then tries again).
  static constexpr long kTlsWaited = -2;
  long tlsReceive(char* buf, size_t len);
  // Waits until the descriptor is ready for what the TLS call's result `want` asks.
  bool tlsWait(int want) const;
  // Sends the end of the TLS stream when that is still possible, then frees the TLS state.
  void tlsClose();

  int fd_ = -1;
  ssl_st* ssl_ = nullptr;  // set by start_tls: the connection speaks TLS
  sockaddr_in peer_ = sockaddr_in();
  bool denied_ = false;
  bool hasDeadline_ = false;
  std::chrono::steady_clock::time_point deadline_;
  FrameReader reader_;
};

#endif
