// HandleMessage driven through arbitrary message sequences on one connection, with a
// dispatcher that records the instruction instead of running it. Messages are separated by
// line feeds in the input. Checks that authentication needs the server id and then the
// passphrase, that nothing reaches the dispatcher before it, and that the parser's answer
// to every message is a reply ending in CR LF or none.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/ConfigLoader.h"
#include "core/Settings.h"
#include "session/KadrelConnection.h"
#include "session/SessionMessages.h"

static int dispatched = 0;

static std::string recordOnly(std::string& data, std::string&, bool, ReplyStream*) {
  ++dispatched;
  return data.empty() ? std::string() : "ran " + data.substr(0, 8);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  KadrelConfig config;
  config.serverid = "Srv-1";
  config.passphrase = "Pass-1";
  config.penalty_seconds = 0;  // no penalty table growing across runs
  config.audit = "off";        // nor millions of lines in the host's system log
  UseSettings(SettingsFrom(config));
  setInstructionDispatcher(recordOnly);
  return 0;
}

// Everything the agent sent so far on `fd` (non-blocking).
static std::string drain(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
  Connection sock(sv[0]);
  KadrelConnection conn{sock};
  dispatched = 0;
  bool sawSid = false;
  size_t from = 0;
  for (;;) {
    size_t to = input.find('\n', from);
    std::string message = input.substr(from, to == std::string::npos ? std::string::npos : to - from);
    const bool wasAuthenticated = conn.authenticated();
    const int before = dispatched;
    const bool keep = HandleMessage(message, conn);
    const std::string sent = drain(sv[1]);
    if (!sent.empty() && (sent.size() < 2 || sent.compare(sent.size() - 2, 2, "\r\n") != 0)) abort();
    if (!wasAuthenticated && dispatched != before) abort();  // ran something before the handshake
    if (conn.serverauthcheck) sawSid = true;
    if (conn.passphrasecheck && !sawSid) abort();
    if (!keep || to == std::string::npos) break;
    from = to + 1;
  }
  ::close(sv[1]);
  return 0;
}
