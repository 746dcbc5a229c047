// The handshake and the request messages of one connection, driven through SocketParser on
// a socketpair: what each message is answered with and whether the connection stays open.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "agent/Settings.h"
#include "session/KadrelConnection.h"
#include "session/SocketParser.h"

namespace {

const char kNoUser[] = "kadrel-unit-no-such-user";

// One connection as the agent sees it, and the panel's end of it.
class Panel {
 public:
  Panel() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
    ServerSocket accepted;
    accepted.m_sock = fds[0];
    conn = std::make_unique<KadrelConnection>(accepted);
    peer = fds[1];
    fcntl(peer, F_SETFL, O_NONBLOCK);
  }
  ~Panel() { ::close(peer); }

  // Everything the agent has written so far (replies are written before the parser returns).
  std::string received() {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(peer, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }
  // Hands `message` to the parser; expects `open` (the connection stays open) and exactly
  // `reply` ("" for no reply at all). The message itself is left as it was.
  void expect(const std::string& message, bool open, const std::string& reply) {
    SCOPED_TRACE("message: " + message);
    std::string data = message;
    EXPECT_EQ(open, SocketParser(data, *conn));
    EXPECT_EQ(message, data);
    EXPECT_EQ(reply.empty() ? "" : reply + "\r\n", received());
  }
  void authenticate() {
    expect("SID Srv1", true, "Correct SID received");
    expect("Passphrase Pass1", true, "Correct passphrase received");
    ASSERT_TRUE(conn->authenticated());
  }
  // Authenticates, then sets the reply flag, the close flag and (unless empty) the user.
  void configure(const std::string& ret, const std::string& close, const std::string& user = "") {
    authenticate();
    expect("cmd_return: " + ret, true, "Return received");
    expect("cmd_close: " + close, true, "Close received");
    if (!user.empty()) expect("cmd_user: " + user, true, "User received");
  }

  std::unique_ptr<KadrelConnection> conn;
  int peer;
};

class HandshakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serverid = "Srv1";
    passphrase = "Pass1";
  }
};

TEST_F(HandshakeTest, NullParameterClosesInEveryState) {
  for (const char* empty : {"", " "}) {
    Panel fresh;
    fresh.expect(empty, false, "Received a null parameter");
    Panel idAccepted;
    idAccepted.expect("SID Srv1", true, "Correct SID received");
    idAccepted.expect(empty, false, "Received a null parameter");
    Panel authenticated;
    authenticated.authenticate();
    authenticated.expect(empty, false, "Received a null parameter");
  }
}

TEST_F(HandshakeTest, NewConnectionTakesOnlyTheServerId) {
  for (const char* message : {"sid SRV1", "SID Srv1 extra fields"}) {
    Panel p;
    p.expect(message, true, "Correct SID received");
    EXPECT_TRUE(p.conn->serverauthcheck);
    EXPECT_FALSE(p.conn->authenticated());
  }
  for (const char* message : {"SID Srv2", "SID  Srv1", "SID Srv1\r\n", "SID Srv1\n", "SID Srv", "SID"}) {
    Panel p;
    p.expect(message, false, "Received incorrect SID");
    EXPECT_FALSE(p.conn->serverauthcheck);
  }
  Panel early;
  early.expect("Passphrase Pass1", false, "SID never received");
  EXPECT_FALSE(early.conn->passphrasecheck);
  for (const char* message : {"cmd_exec: version", "cmd_user: root", "hello", " Srv1"}) {
    Panel p;
    p.expect(message, false, "");
  }
}

TEST_F(HandshakeTest, PassphraseCompletesTheHandshake) {
  Panel again;
  again.expect("SID Srv1", true, "Correct SID received");
  again.expect("sid srv1", true, "Correct SID received");
  again.expect("SID other", false, "Received incorrect SID");

  Panel wrong;
  wrong.expect("SID Srv1", true, "Correct SID received");
  wrong.expect("Passphrase Pass2", false, "Received incorrect passphrase");
  EXPECT_FALSE(wrong.conn->authenticated());

  Panel other;
  other.expect("SID Srv1", true, "Correct SID received");
  other.expect("cmd_exec: version", false, "");

  Panel right;
  right.expect("SID Srv1", true, "Correct SID received");
  right.expect("PASSPHRASE pass1", true, "Correct passphrase received");
  EXPECT_TRUE(right.conn->authenticated());
}

TEST_F(HandshakeTest, InstructionReplyAndConnectionFate) {
  Panel keep;
  keep.configure("YES", "no", "root");
  keep.expect("cmd_exec: version", true, "2.0.0.0");
  keep.expect("cmd_exec: VERSION", true, "2.0.0.0");  // still authenticated, still open
  keep.expect("cmd_exec: command:_:echo hi", true, "hi\n\n");
  keep.expect("cmd_exec:", false, "");  // too short to hold an instruction
  Panel empty;
  empty.configure("yes", "no");
  empty.expect("cmd_exec: ", false, "");  // empty instruction, empty output
  Panel closing;
  closing.configure("yes", "Yes");
  closing.expect("cmd_exec: version", false, "2.0.0.0");
  Panel silent;
  silent.configure("no", "no");
  silent.expect("cmd_exec: version", false, "");
}

TEST_F(HandshakeTest, HandshakeKeysAfterAuthenticationAreUnknown) {
  for (const char* message : {"SID Srv1", "Passphrase Pass1", "cmd_bogus: x", "cmd_exec"}) {
    Panel p;
    p.authenticate();
    p.expect(message, false, "Command not found");
  }
}

// The settings a connection sent itself govern its instructions; a connection that sent none
// works with the values last set on any connection.
TEST_F(HandshakeTest, SessionSettingsPerConnectionAndProcessWide) {
  Panel a, b;
  a.configure("yes", "no", "ROOT");  // root in any letter case: no identity change
  b.configure("yes", "no", kNoUser);
  const SessionSettings now = currentSessionSettings();
  EXPECT_EQ(kNoUser, now.user);
  EXPECT_EQ("yes", now.expectreturn);
  EXPECT_EQ("no", now.closesocket);
  EXPECT_EQ("ROOT", a.conn->own_user.value_or("<unset>"));
  EXPECT_EQ(kNoUser, b.conn->own_user.value_or("<unset>"));

  // A runs as root; B's account does not exist, so its command never runs ("\n" alone).
  a.expect("cmd_exec: command:_:echo hi", true, "hi\n\n");
  b.expect("cmd_exec: command:_:echo hi", true, "\n");

  // C sends no setting of its own and works with B's: that user, reply wanted, stay open.
  Panel c;
  c.authenticate();
  EXPECT_FALSE(c.conn->own_user.has_value());
  c.expect("cmd_exec: command:_:echo hi", true, "\n");

  // B turning replies off does not silence A, but does silence C.
  b.expect("cmd_return: no", true, "Return received");
  a.expect("cmd_exec: version", true, "2.0.0.0");
  c.expect("cmd_exec: version", false, "");
  a.expect("cmd_user: root", true, "User received");
  EXPECT_EQ("root", currentSessionSettings().user);
}

}  // namespace
