// A panel's side of the wire: connect, send frames, read CR LF-terminated replies, run the
// handshake. Used by kadrel-client, the integration tests and the benchmarks. One object per
// connection, used by one thread.
#ifndef KADREL_CLIENT_PANELCLIENT_H
#define KADREL_CLIENT_PANELCLIENT_H

#include <string>

class PanelClient {
 public:
  PanelClient() = default;
  ~PanelClient();
  PanelClient(const PanelClient&) = delete;
  PanelClient& operator=(const PanelClient&) = delete;

  // Connects to host:port (IPv4). On failure `error` says why.
  bool connect(const std::string& host, int port, std::string* error = nullptr);
  void close();
  bool connected() const { return fd_ >= 0; }

  // The frame for `payload`: its length in decimal, ":", the payload.
  static std::string frame(const std::string& payload);
  bool sendRaw(const std::string& bytes);
  bool sendFrame(const std::string& payload) { return sendRaw(frame(payload)); }

  // Reads one reply, up to and without its final CR LF. False when the agent closed (or the
  // wait passed `timeoutMs`, -1 for ever) before a whole reply arrived; `reply` then holds
  // what did arrive.
  bool readReply(std::string& reply, int timeoutMs = -1);
  // Everything the agent sends until it closes the connection (or the wait passes).
  std::string readUntilClose(int timeoutMs = -1);
  // True when the agent closed the connection within `timeoutMs`; `received` gets any bytes
  // that came first.
  bool waitClosed(int timeoutMs, std::string* received = nullptr);

  // sendFrame, then readReply.
  bool request(const std::string& payload, std::string& reply, int timeoutMs = -1);
  // "SID", then "Passphrase". On refusal `failure` holds the agent's answer.
  bool handshake(const std::string& sid, const std::string& pass, std::string* failure = nullptr);

 private:
  // One read of at most 64 KiB into buffer_; 0 when closed, -1 on error or time-out.
  long fill(int timeoutMs);

  int fd_ = -1;
  std::string buffer_;
};

#endif
