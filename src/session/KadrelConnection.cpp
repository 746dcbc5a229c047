// The worker thread's read loop.
#include "session/KadrelConnection.h"

#include <chrono>
#include <climits>

#include "core/ErrorHandler.h"
#include "session/SocketParser.h"

void* LoadThread(void* newconnection) {
  ServerSocket* sock = static_cast<ServerSocket*>(newconnection);
  {
    KadrelConnection connection(*sock);
    connection.Run();
    delete sock;
  }
  return nullptr;
}

KadrelConnection::KadrelConnection(ServerSocket& passed_sock)
    : new_sock(passed_sock), passphrasecheck(false), serverauthcheck(false) {}

void KadrelConnection::Run() {
  Log("Connection started");
  if (new_sock.ipdenied) {
    new_sock.close();
    return;
  }
  new_sock.set_frame_limit(kPreAuthFrameLimit);
  new_sock.set_deadline(std::chrono::steady_clock::now() + std::chrono::seconds(kHandshakeSeconds));
  bool limited = true;
  try {
    std::string data;
    for (;;) {
      data.clear();
      new_sock >> data;
      bool keep = SocketParser(data, *this);
      if (!keep) {
        Log("Socket Closed");
        break;
      }
      if (limited && authenticated()) {
        new_sock.set_frame_limit(INT_MAX);
        new_sock.clear_deadline();
        limited = false;
      }
    }
    new_sock.close();
    passphrasecheck = false;
    serverauthcheck = false;
    Log("Thread stopped");
  } catch (SocketException& e) {
    passphrasecheck = false;
    serverauthcheck = false;
    Log(e.description());
    Log("Connection closed");
  }
}

void KadrelConnection::SendData(std::string data) {
  data.append("\r\n");
  try {
    new_sock << data;
  } catch (SocketException& e) {
    Log("There was a problem with the socket: " + e.description());
  }
}

bool StreamedReply::forward(int fd) {
  started_ = true;
  if (!delivered_) return false;
  if (!connection_.new_sock.send_from_pipe(fd, size_)) delivered_ = false;
  return delivered_;
}

void StreamedReply::finish(const std::string& last) {
  started_ = true;
  size_ += last.size();
  if (delivered_ && !connection_.new_sock.send(last + "\r\n")) delivered_ = false;
}
