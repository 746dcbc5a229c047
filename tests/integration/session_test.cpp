// Sessions over real TCP: refusals, the allow-list, read failures, session settings, parallel
// sessions and the limits before and after authentication.
#include <algorithm>
#include <fstream>

#include "AgentFixture.h"

class SessionTest : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (!HasFatalFailure()) startAgent();
  }

  // Sends `bytes` on `client` and returns what arrived before the agent closed the connection.
  static std::string sendUntilClosed(PanelClient& client, const std::string& bytes, int timeoutMs = 20000) {
    EXPECT_TRUE(client.sendRaw(bytes));
    std::string received;
    EXPECT_TRUE(client.waitClosed(timeoutMs, &received)) << "the agent kept the connection open";
    return received;
  }

  // Waits until `last` appears among the log lines from index `from` on, and returns those lines.
  std::vector<std::string> logSince(size_t from, const std::string& last) {
    std::vector<std::string> tail;
    bool came = waitUntil([&] {
      std::vector<std::string> lines = logLines();
      tail.assign(lines.begin() + static_cast<long>(std::min(from, lines.size())), lines.end());
      return std::find(tail.begin(), tail.end(), last) != tail.end();
    });
    EXPECT_TRUE(came) << "log line never came: " << last;
    return tail;
  }

  // Expects the connection logged from line `from` on to end on a failed read, logged as a line
  // that starts with `reason`.
  void expectReadFailure(size_t from, const std::string& reason) {
    std::vector<std::string> log = logSince(from, "Connection closed");
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "Connection started");
    EXPECT_EQ(log[1].rfind(reason, 0), 0u) << log[1];
  }

  // Sends `payload` and expects `expected` back within 20 s; false (and a failure) otherwise.
  static bool exchange(PanelClient& client, const std::string& payload, const std::string& expected) {
    std::string reply;
    EXPECT_TRUE(client.request(payload, reply, 20000)) << "no whole reply to " << payload.substr(0, 40);
    EXPECT_EQ(reply, expected);
    return reply == expected;
  }

  // A client past the handshake that sent "cmd_return:" `ret` and "cmd_close:" `close` unless empty.
  std::unique_ptr<PanelClient> authed(const std::string& ret = "", const std::string& close = "") {
    auto client = openSession("", ret, close);
    return client->connected() ? std::move(client) : nullptr;
  }
};

TEST_F(SessionTest, RefusedMessagesGetTheirReplyAndEndTheConnection) {
  const std::string auth = PanelClient::frame("SID " + sid_) + PanelClient::frame("Passphrase " + pass_);
  const struct {
    const char* what;
    std::string bytes, received;
    const char* logged;  // logged between "Connection started" and "Socket Closed", if anything
  } cases[] = {
      {"wrong server id", PanelClient::frame("SID Server-8"), "Received incorrect SID\r\n", nullptr},
      {"passphrase first", PanelClient::frame("Passphrase " + pass_), "SID never received\r\n",
       "Server sent us the passphrase but no server id"},
      {"instruction before the handshake", PanelClient::frame("cmd_exec: version"), "", nullptr},
      {"server id once authenticated", auth + PanelClient::frame("SID " + sid_),
       "Correct SID received\r\nCorrect passphrase received\r\nCommand not found\r\n", nullptr},
      {"empty frame", "0:", "Received a null parameter\r\n", "Received a null parameter"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    size_t from = logLines().size();
    EXPECT_EQ(sendUntilClosed(*connectClient(), c.bytes), c.received);
    std::vector<std::string> log = {"Connection started", "Socket Closed", "Thread stopped"};
    if (c.logged) log.insert(log.begin() + 1, c.logged);
    EXPECT_EQ(logSince(from, "Thread stopped"), log);
  }
  EXPECT_NE(agentStderr().find("Received incorrect SID"), std::string::npos)
      << "warnings go to standard error";
}

TEST_F(SessionTest, ReadFailuresEndTheSessionWithoutThreadStopped) {
  size_t from = logLines().size();
  auto client = authed();
  ASSERT_TRUE(client);
  client->close();
  expectReadFailure(from, "Could not read from socket.");

  from = logLines().size();
  EXPECT_EQ(sendUntilClosed(*connectClient(), "abc:xyz"), "");
  expectReadFailure(from,
                    "Could not read from socket bad lexical cast: source type value could not be "
                    "interpreted as target");
  from = logLines().size();  // over the limit before authentication: the payload is not awaited
  EXPECT_EQ(sendUntilClosed(*connectClient(), "65537:"), "");
  expectReadFailure(from, "Could not read from socket ");
}

TEST_F(SessionTest, AllowListDecidesWhichPeersAreServed) {
  stopAgent();
  writeConfig("whitelist=10.9.9.9\n");
  startAgent();
  EXPECT_EQ(sendUntilClosed(*connectClient(), PanelClient::frame("SID " + sid_)), "")
      << "a denied peer gets no byte";
  EXPECT_EQ(logSince(0, "Connection started"),
            (std::vector<std::string>{"Kadrel-Remote Started", "Denied login from unknown ip",
                                      "Connection started"}));

  stopAgent();
  writeConfig("whitelist=10.0.0.1;127.0.0.1\n");
  startAgent();
  EXPECT_EQ(versionWithin(), KADREL_VERSION "\r\n");
  EXPECT_TRUE(waitForLogLine("Allowed login from known ip"));
}

TEST_F(SessionTest, SettingsCarryOverToLaterConnections) {
  auto first = authed();
  ASSERT_TRUE(first);
  EXPECT_EQ(sendUntilClosed(*first, PanelClient::frame("cmd_exec: version")), "")
      << "initially no reply is wanted";

  ensureAccount("kadrelsess");
  auto setter = authed("yes", "no");
  ASSERT_TRUE(setter && exchange(*setter, "cmd_user: kadrelsess", "User received"));
  setter->close();
  // A connection that sets nothing gets replies, stays open, and acts as the account set before.
  auto client = authed();
  ASSERT_TRUE(client);
  ASSERT_TRUE(exchange(*client, "cmd_exec: VERSION", KADREL_VERSION));
  EXPECT_TRUE(exchange(*client, "cmd_exec: command:_:id -un", "kadrelsess\n\n"));  // output plus a line feed
}

TEST_F(SessionTest, ConnectionsRunInParallelEachWithItsOwnSettings) {
  auto a = authed();
  ASSERT_TRUE(a);
  // A 1 MB frame: more than one read, far over the pre-authentication limit; the second field counts.
  ASSERT_TRUE(exchange(*a, "cmd_return: yes " + std::string(1000000, 'x'), "Return received"));
  ASSERT_TRUE(exchange(*a, "cmd_close: no", "Close received"));
  // A's command waits for a file that the test creates only after B was served.
  const std::string gate = dir_ + "/gate";
  ASSERT_TRUE(a->sendFrame("cmd_exec: command:_:for i in $(seq 600); do [ -e " + gate +
                           " ] && break; sleep 0.1; done; echo a"));
  ASSERT_TRUE(waitForLogLine("returnExec"));

  // B's values, set after A's, are now the process-wide ones. B is served while A's instruction runs.
  auto b = authed("no", "yes");
  ASSERT_TRUE(b);
  EXPECT_EQ(sendUntilClosed(*b, PanelClient::frame("cmd_exec: version")), "");

  std::ofstream(gate).close();
  std::string reply;
  EXPECT_TRUE(a->readReply(reply, 90000));
  EXPECT_EQ(reply, "a\n\n") << "A's own values win over B's";
  EXPECT_TRUE(exchange(*a, "cmd_exec: version", KADREL_VERSION)) << "A stays open";
}

// With the handshake limit (30 s unless configured) set to 3 s.
TEST_F(SessionTest, SlowHandshakeIsCutOffButAuthenticatedIdleConnectionsStay) {
  stopAgent();
  writeConfig("handshake_timeout=3\n");
  startAgent();
  auto idle = authed("yes", "no");  // opened first: its limit would run out first
  ASSERT_TRUE(idle);
  size_t from = logLines().size();
  EXPECT_EQ(sendUntilClosed(*connectClient(), "", 60000), "") << "a silent client is cut off";
  expectReadFailure(from, "Could not read from socket ");

  EXPECT_TRUE(exchange(*idle, "cmd_exec: version", KADREL_VERSION));  // fails if the limit cut it off too
}
