// The handshake and the request messages of one connection, driven through SocketParser on
// a socketpair: what each message is answered with and whether the connection stays open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "TestSettings.h"
#include "core/Settings.h"
#include "session/KadrelConnection.h"
#include "session/SocketParser.h"

namespace {

// Where a connection stands before the message. The last three are authenticated and have
// set their own reply and close flags: reply and stay open, reply and close, no reply.
enum State { kNew, kIdAccepted, kAuthenticated, kKeepOpen, kCloseAfter, kSilent };

// One connection as the agent sees it, and the panel's end of it.
class Panel {
 public:
  explicit Panel(State state = kNew) {
    int fds[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    conn = std::make_unique<KadrelConnection>(Connection(fds[0]));
    peer = fds[1];
    fcntl(peer, F_SETFL, O_NONBLOCK);
    if (state >= kIdAccepted) expect("SID Srv1", true, "Correct SID received");
    if (state >= kAuthenticated) expect("Passphrase Pass1", true, "Correct passphrase received");
    if (state <= kAuthenticated) return;
    expect(std::string("cmd_return: ") + (state == kSilent ? "no" : "yes"), true, "Return received");
    expect(std::string("cmd_close: ") + (state == kCloseAfter ? "yes" : "no"), true, "Close received");
  }
  ~Panel() { ::close(peer); }

  // Hands `message` to the parser; expects `open` (the connection stays open) and exactly
  // `reply` plus CR LF, or no byte at all for nullptr.
  void expect(std::string message, bool open, const char* reply) {
    SCOPED_TRACE("message: " + message);
    EXPECT_EQ(open, SocketParser(message, *conn));
    std::string received;
    char buf[4096];
    for (ssize_t n; (n = ::recv(peer, buf, sizeof buf, 0)) > 0;) received.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(reply == nullptr ? "" : std::string(reply) + "\r\n", received);
  }

  // Nothing of these reaches the host's system log (no audit trail).
  WithSettings settings_{settingsFor("linux", "serverid=Srv1\npassphrase=Pass1\naudit=off\n")};
  std::unique_ptr<KadrelConnection> conn;
  int peer;
};

TEST(Handshake, EachStateAnswersEachMessage) {
  // State, message, reply (nullptr: no byte at all), whether the connection stays open.
  const std::tuple<State, std::string, const char*, bool> rows[] = {
      {kNew, " ", "Received a null parameter", false},
      {kNew, "sid SRV1 extra fields", "Correct SID received", true},
      {kNew, "SID  Srv1", "Received incorrect SID", false},
      {kNew, "SID Srv1\r\n", "Received incorrect SID", false},
      {kNew, "SID Srv", "Received incorrect SID", false},
      {kNew, "SID Srv12", "Received incorrect SID", false},
      {kNew, "Passphrase Pass1", "SID never received", false},
      {kNew, "cmd_exec: version", nullptr, false},
      {kNew, " Srv1", nullptr, false},
      {kIdAccepted, "", "Received a null parameter", false},
      {kIdAccepted, "SID other", "Received incorrect SID", false},
      {kIdAccepted, "Passphrase Pass2", "Received incorrect passphrase", false},
      {kIdAccepted, "Passphrase Pass", "Received incorrect passphrase", false},
      {kIdAccepted, "PASSPHRASE pass1", "Correct passphrase received", true},
      {kIdAccepted, "cmd_exec: version", nullptr, false},
      {kAuthenticated, "Passphrase Pass1", "Command not found", false},
      {kAuthenticated, "cmd_exec", "Command not found", false},
      {kAuthenticated, "CMD_RETURN: yes", "Return received", true},
      {kKeepOpen, "cmd_exec: version", KADREL_VERSION, true},
      {kKeepOpen, "cmd_exec:", nullptr, false},   // too short to hold an instruction
      {kKeepOpen, "cmd_exec: ", nullptr, false},  // empty instruction, empty output
      {kCloseAfter, "cmd_exec: version", KADREL_VERSION, false},
      {kSilent, "cmd_exec: version", nullptr, false}};
  for (const auto& [state, message, reply, open] : rows) {
    SCOPED_TRACE("state " + std::to_string(state));
    Panel(state).expect(message, open, reply);
  }
}

}  // namespace
