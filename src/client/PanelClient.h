// A panel's side of the wire: connect, send frames, read CR LF-terminated replies, run the
// handshake. Used by kadrel-client, the integration tests and the benchmarks. One object per
// connection, used by one thread.
#ifndef KADREL_CLIENT_PANELCLIENT_H
#define KADREL_CLIENT_PANELCLIENT_H

#include <memory>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

// The files a panel's TLS connections use.
struct TlsClientFiles {
  std::string cafile;    // CA certificates (PEM) that sign the agent's; empty: the system's store
  std::string certfile;  // the panel's own certificate (PEM), presented when the agent asks
  std::string keyfile;   // its private key (PEM)
};
using TlsClientContext = std::shared_ptr<ssl_ctx_st>;
// A context for connections that verify the agent's certificate (TLS 1.2 or 1.3) and present
// the panel's when one is given; nullptr, with `error` saying why, when a file cannot be used.
TlsClientContext MakeClientTls(const TlsClientFiles& files, std::string* error = nullptr);

// What a panel sends to open a session: the handshake, then each setting that is not empty.
struct SessionSettingsToSend {
  std::string sid;
  std::string passphrase;
  std::string user;                  // "cmd_user:", the account instructions run as
  std::string expectreturn = "yes";  // "cmd_return:"
  std::string closesocket = "yes";   // "cmd_close:"
};

class PanelClient {
 public:
  PanelClient() = default;
  ~PanelClient();
  PanelClient(const PanelClient&) = delete;
  PanelClient& operator=(const PanelClient&) = delete;

  // From the next connect on, connections speak TLS with `context` (nullptr: plaintext). A TLS
  // write to a connection the agent closed raises SIGPIPE: a program that uses TLS ignores it.
  void useTls(TlsClientContext context) { tls_ = std::move(context); }

  // Connects to host:port (IPv4), from the local address `source` when one is given; with TLS,
  // shakes hands and verifies that the agent's certificate names `host`. On failure `error`
  // says why.
  bool connect(const std::string& host, int port, std::string* error = nullptr,
               const std::string& source = "");
  void close();
  bool connected() const { return fd_ >= 0; }
  // The TLS version and cipher suite the connection negotiated ("TLSv1.3 TLS_AES_256_GCM_SHA384");
  // empty for plaintext.
  std::string tlsSuite() const;

  // The frame for `payload`: its length in decimal, ":", the payload.
  static std::string frame(const std::string& payload);
  bool sendRaw(const std::string& bytes);
  bool sendFrame(const std::string& payload) { return sendRaw(frame(payload)); }
  // Sends the frame and ends the sending side together with it (in one segment), as a panel
  // that has nothing more to ask does; replies can still be read.
  bool sendLastFrame(const std::string& payload);

  // Reads one reply, up to and without its final CR LF. False when the agent closed (or the
  // wait passed `timeoutMs`, -1 for ever) before a whole reply arrived; `reply` then holds
  // what did arrive.
  bool readReply(std::string& reply, int timeoutMs = -1);
  // Everything the agent sends until it closes the connection (or the wait passes).
  std::string readUntilClose(int timeoutMs = -1);
  // True when the agent closed the connection within `timeoutMs`; `received` gets any bytes
  // that came first.
  bool waitClosed(int timeoutMs, std::string* received = nullptr);
  // waitClosed for replies too large to hold: keeps only the number of bytes received and the
  // last `keep` of them.
  bool drainUntilClose(int timeoutMs, unsigned long long& count, std::string& last, size_t keep = 8);

  // sendFrame, then readReply.
  bool request(const std::string& payload, std::string& reply, int timeoutMs = -1);
  // "SID", then "Passphrase". On refusal `failure` holds the agent's answer.
  bool handshake(const std::string& sid, const std::string& pass, std::string* failure = nullptr);
  // Connects, runs the handshake and sends the settings, each answered as the agent answers
  // it, within `timeoutMs` each (-1: no limit). On failure `failure` says which step failed
  // and why, `refused` (when given) tells a refusal or a missing answer from a failed connect,
  // and the connection is closed.
  bool openSession(const std::string& host, int port, const SessionSettingsToSend& settings,
                   std::string* failure = nullptr, int timeoutMs = -1, bool* refused = nullptr);

 private:
  // One read of at most 64 KiB into buffer_; 0 when closed, -1 on error or time-out.
  long fill(int timeoutMs);
  // The TLS handshake on the new connection to `host`; false with `error` saying why.
  bool startTls(const std::string& host, std::string* error);

  int fd_ = -1;
  TlsClientContext tls_;
  ssl_st* ssl_ = nullptr;
  std::string buffer_;
};

#endif
