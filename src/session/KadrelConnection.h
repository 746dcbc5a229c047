// One accepted connection, served by a worker thread: the read loop, the handshake flags and
// this connection's own session settings. Touched only by its thread.
#ifndef KADREL_SESSION_KADRELCONNECTION_H
#define KADREL_SESSION_KADRELCONNECTION_H

#include <optional>
#include <string>

#include "exec/CommandRunner.h"
#include "sockets/Connection.h"

// Before authentication a frame may carry at most this many payload bytes, and the handshake
// (reads and writes) must be complete within handshake_timeout seconds.
const long long kPreAuthFrameLimit = 65536;

// Serves `connection` until it ends, and closes it; nothing escapes.
void ServeConnection(Connection&& connection);

class KadrelConnection {
 public:
  // Serves `connection`, which outlives it (the worker's own: a copy would cost an idle
  // connection stack room for a second reading buffer).
  explicit KadrelConnection(Connection& connection);
  virtual ~KadrelConnection();

  // Reads frames and hands each to HandleMessage until it says to stop or the read fails.
  void Run();
  // Sends `data` plus CR LF; a failed write is logged, not thrown. A write that ran out of
  // time also ends the connection: the next read finds it closed.
  void SendData(std::string data);

  bool authenticated() const { return passphrasecheck && serverauthcheck; }

  // What the connection shows of its peer, without reading from it: still there, done sending
  // (it closed its sending side; it may still read), or gone (reset, unreachable, closed).
  enum class Peer { Here, DoneSending, Gone };
  Peer peer() const;
  // A write failed with `err`. One that ran out of time (the peer stopped reading) abandons
  // the reply and ends the connection.
  void writeFailed(int err);

 private:
  // Takes the connection out of the unauthenticated count, then closes it so that the last
  // reply reaches the peer.
  void finish();
  // Ends the session after a failure: logs `why` and "Connection closed", then finish().
  void endAfter(const std::string& why);

  bool counted_ = false;  // counted among the authenticated connections open (core/Metrics.h)

 public:
  Connection& new_sock;
  bool passphrasecheck;
  bool serverauthcheck;

  // Values this connection set with its own setting messages. An instruction uses these when
  // present, and the process-wide current values otherwise, so two panels that set different
  // accounts at the same time never run as each other's.
  std::optional<std::string> own_user;
  std::optional<bool> own_replyWanted;      // "cmd_return: yes"
  std::optional<bool> own_closeAfterReply;  // "cmd_close: yes"
};

// One reply streamed to a connection: a command's output as it arrives, then its last bytes and
// CR LF. Every byte goes out through the connection's socket (Connection::send_from_pipe, send).
class StreamedReply : public ReplyStream {
 public:
  explicit StreamedReply(KadrelConnection& connection) : connection_(connection) {}

  Sent forward(int fd) override;
  bool send(const char* data, size_t n) override;
  void finish(const std::string& last) override;
  void abandon() override;

  // True once any part of the reply was sent or attempted: the dispatcher answered this way.
  bool started() const { return started_; }
  // False when the peer went away before the whole reply was taken, or the reply was abandoned.
  bool delivered() const { return delivered_; }
  bool abandoned() const { return abandoned_; }
  // The reply's size without the CR LF, as a collected reply would have had.
  unsigned long long size() const { return size_; }

 private:
  KadrelConnection& connection_;
  bool started_ = false;
  bool delivered_ = true;
  bool abandoned_ = false;
  unsigned long long size_ = 0;
};

#endif
