// The worker thread's read loop.
#include "session/KadrelConnection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <exception>
#include <utility>

#include "core/Audit.h"
#include "core/Log.h"
#include "core/Metrics.h"
#include "core/Settings.h"
#include "exec/Descriptors.h"
#include "exec/PeerWatch.h"
#include "session/Admission.h"
#include "session/SessionMessages.h"
#include "sockets/Tls.h"

void ServeConnection(Connection&& accepted) {
  metrics().open.fetch_add(1, std::memory_order_relaxed);
  try {
    KadrelConnection connection(accepted);
    connection.Run();
  } catch (const WorkAborted&) {
    // A guarded Log_err already logged why; only this connection ends.
  } catch (...) {
    // The last resort: nothing escapes a worker thread (that would end the whole agent).
    Log("There was a problem with the connection's thread: an unexpected failure; connection closed");
  }
  metrics().open.fetch_sub(1, std::memory_order_relaxed);
}

KadrelConnection::KadrelConnection(Connection& connection)
    : new_sock(connection), passphrasecheck(false), serverauthcheck(false) {}

KadrelConnection::~KadrelConnection() {
  // Whatever way the session ended, the descriptor leaves the registry before new_sock's
  // destructor closes it.
  if (new_sock.is_valid()) admission().leave(new_sock.fd());
  if (counted_) metrics().authenticated.fetch_sub(1, std::memory_order_relaxed);
}

void KadrelConnection::Run() {
  Log("Connection started");
  if (new_sock.denied()) {
    CountConnection(ConnectionOutcome::RefusedAllowList);
    admission().leave(new_sock.fd());
    new_sock.close();
    return;
  }
  new_sock.set_frame_limit(kPreAuthFrameLimit);
  new_sock.set_deadline(std::chrono::steady_clock::now() +
                        std::chrono::seconds(settings().handshake_timeout));
  // With TLS on, its handshake comes first, within the same deadline; a peer that fails it
  // (plaintext, no acceptable certificate, too slow) is closed without a word. A refused
  // certificate is a failed handshake like a wrong passphrase: audited, and it earns a penalty.
  std::string failure;
  const char* refused = nullptr;
  if (ServerTls() != nullptr && !new_sock.start_tls(ServerTls(), failure, refused)) {
    Log("TLS handshake failed: " + failure);
    CountConnection(refused == nullptr && new_sock.deadline_passed() ? ConnectionOutcome::TimedOut
                                                                     : ConnectionOutcome::HandshakeFailed);
    if (refused != nullptr) {
      const uint32_t peer = new_sock.peer().sin_addr.s_addr;
      Audit(AuditHandshakeLine(addressText(peer), refused), true);
      if (std::strcmp(refused, "certificate") == 0) admission().failed(peer);
    }
    Log("Connection closed");
    admission().leave(new_sock.fd());
    new_sock.close();
    return;
  }
  bool limited = true;
  try {
    std::string data;
    for (;;) {
      data.clear();
      const Result got = new_sock.read(data);
      if (!got) {
        if (limited && new_sock.deadline_passed()) CountConnection(ConnectionOutcome::TimedOut);
        return endAfter(got.text());
      }
      bool keep = HandleMessage(data, *this);
      if (!keep) {
        Log("Socket Closed");
        break;
      }
      if (limited && authenticated()) {
        // The stall time for writes from here on came with the connection from the listener.
        admission().leave(new_sock.fd());
        new_sock.set_frame_limit(INT_MAX);
        new_sock.clear_deadline();
        limited = false;
        CountConnection(ConnectionOutcome::Served);
        metrics().authenticated.fetch_add(1, std::memory_order_relaxed);
        counted_ = true;
      }
    }
    finish();
    passphrasecheck = false;
    serverauthcheck = false;
    Log("Thread stopped");
  } catch (const std::exception&) {
    // The session boundary: a failure from below (memory, a library) ends this connection
    // alone, logged in our own words.
    endAfter("There was a problem with the session: an unexpected failure");
  }
}

void KadrelConnection::endAfter(const std::string& why) {
  passphrasecheck = false;
  serverauthcheck = false;
  Log(why);
  Log("Connection closed");
  finish();
}

void KadrelConnection::finish() {
  admission().leave(new_sock.fd());
  new_sock.close_after_reply();
}

void KadrelConnection::SendData(std::string data) {
  data.append("\r\n");
  const Result sent = new_sock.write(data);
  if (!sent) {
    Log("There was a problem with the socket: " + sent.text());
    writeFailed(sent.err());
  }
}

KadrelConnection::Peer KadrelConnection::peer() const {
  pollfd p = {new_sock.fd(), POLLRDHUP, 0};
  if (poll(&p, 1, 0) <= 0) return Peer::Here;
  if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return Peer::Gone;
  return (p.revents & POLLRDHUP) ? Peer::DoneSending : Peer::Here;
}

void KadrelConnection::writeFailed(int err) {
  if (err != EAGAIN && err != EWOULDBLOCK) return;
  // The peer stopped reading: the reply is abandoned and so is the connection, whose next
  // read then finds it closed.
  if (authenticated()) Log_warn("Reply abandoned after %d s without progress", settings().reply_timeout);
  ::shutdown(new_sock.fd(), SHUT_RDWR);
}

ReplyStream::Sent StreamedReply::forward(int fd) {
  started_ = true;
  if (!delivered_) return Sent::Abandoned;
  PeerWatch* watch = PeerWatch::current();
  const int flags = fcntl(fd, F_GETFL);
  // Watched, the pipe is taken as it fills (non-blocking), and each wait for more asks the watch.
  if (watch != nullptr && flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  for (;;) {
    if (watch != nullptr && !waitReadable(fd, watch)) {
      abandon();  // the runner logs why; nothing more goes out
      return Sent::PeerGone;
    }
    const unsigned long long before = size_;
    if (!connection_.new_sock.send_from_pipe(fd, size_)) {
      const int err = errno;
      delivered_ = false;
      if (flags >= 0) fcntl(fd, F_SETFL, flags);
      readToEnd(fd, [](const char*, size_t) {});  // what the non-blocking drop left
      connection_.writeFailed(err);
      return Sent::Abandoned;
    }
    // Readable, yet nothing came: the end of file.
    if (watch == nullptr || size_ == before) return Sent::Whole;
  }
}

bool StreamedReply::send(const char* data, size_t n) {
  started_ = true;
  if (!delivered_) return false;
  size_ += n;
  if (!connection_.new_sock.send(data, n)) {
    delivered_ = false;
    connection_.writeFailed(errno);
  }
  return delivered_;
}

void StreamedReply::abandon() {
  started_ = true;
  delivered_ = false;
  abandoned_ = true;
}

void StreamedReply::finish(const std::string& last) {
  started_ = true;
  size_ += last.size();
  if (delivered_ && !connection_.new_sock.send(last + "\r\n")) {
    delivered_ = false;
    connection_.writeFailed(errno);
  }
}
