// Sessions over real TCP: the handshake and its refusals, the allow-list, the session
// settings, parallel sessions, the limits before authentication and framing across writes.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "AgentFixture.h"

class SessionTest : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (!HasFatalFailure()) startAgent();
  }

  // Sends `bytes` on a fresh connection and waits for the agent to close it. Returns what
  // arrived first; a connection still open after 20 s fails the test.
  std::string exchangeUntilClose(const std::string& bytes) {
    auto client = connectClient();
    EXPECT_TRUE(client->sendRaw(bytes));
    std::string received;
    EXPECT_TRUE(client->waitClosed(20000, &received)) << "the agent kept the connection open";
    return received;
  }

  // Waits until `last` appears among the log lines from index `from` on, and returns those lines.
  std::vector<std::string> logSince(size_t from, const std::string& last) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      std::vector<std::string> lines = logLines();
      std::vector<std::string> tail(lines.begin() + static_cast<long>(std::min(from, lines.size())), lines.end());
      for (const std::string& l : tail)
        if (l == last) return tail;
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "log line never came: " << last;
        return tail;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  std::string handshakeFrames() const {
    return PanelClient::frame("SID " + sid_) + PanelClient::frame("Passphrase " + pass_);
  }

  // Sends `payload` and expects `expected` back within 20 s.
  static void exchange(PanelClient& client, const std::string& payload, const std::string& expected) {
    std::string reply;
    EXPECT_TRUE(client.request(payload, reply, 20000)) << "no whole reply to " << payload.substr(0, 40);
    EXPECT_EQ(reply, expected);
  }

  // A client that passed the handshake; no wait is unbounded.
  std::unique_ptr<PanelClient> authed() {
    auto client = connectClient();
    exchange(*client, "SID " + sid_, "Correct SID received");
    exchange(*client, "Passphrase " + pass_, "Correct passphrase received");
    return client;
  }

  // An authenticated client with its own "cmd_return:" and "cmd_close:" values.
  std::unique_ptr<PanelClient> clientWith(const std::string& ret, const std::string& close) {
    auto client = authed();
    exchange(*client, "cmd_return: " + ret, "Return received");
    exchange(*client, "cmd_close: " + close, "Close received");
    return client;
  }
};

struct Refusal {
  const char* what;
  std::string bytes;
  std::string received;              // everything the agent sends before it closes
  std::vector<std::string> log;      // the connection's log lines, in order
};

TEST_F(SessionTest, RefusedMessagesGetTheirReplyAndEndTheConnection) {
  const std::string auth = handshakeFrames();
  const std::string welcomed = "Correct SID received\r\nCorrect passphrase received\r\n";
  const std::vector<std::string> ended = {"Connection started", "Socket Closed", "Thread stopped"};
  const Refusal cases[] = {
      {"wrong server id", PanelClient::frame("SID Server-8"), "Received incorrect SID\r\n", ended},
      {"passphrase first", PanelClient::frame("Passphrase " + pass_), "SID never received\r\n",
       {"Connection started", "Server sent us the passphrase but no server id", "Socket Closed", "Thread stopped"}},
      {"wrong passphrase", PanelClient::frame("SID " + sid_) + PanelClient::frame("Passphrase x"),
       "Correct SID received\r\nReceived incorrect passphrase\r\n", ended},
      {"instruction before the handshake", PanelClient::frame("cmd_exec: version"), "", ended},
      {"server id once authenticated", auth + PanelClient::frame("SID " + sid_), welcomed + "Command not found\r\n",
       ended},
      {"empty frame", "0:", "Received a null parameter\r\n",
       {"Connection started", "Received a null parameter", "Socket Closed", "Thread stopped"}},
      {"single blank", PanelClient::frame(" "), "Received a null parameter\r\n",
       {"Connection started", "Received a null parameter", "Socket Closed", "Thread stopped"}},
      {"empty frame once authenticated", auth + "0:", welcomed + "Received a null parameter\r\n",
       {"Connection started", "Received a null parameter", "Socket Closed", "Thread stopped"}},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.what);
    size_t from = logLines().size();
    EXPECT_EQ(exchangeUntilClose(c.bytes), c.received);
    EXPECT_EQ(logSince(from, "Thread stopped"), c.log);
  }
  // Warnings go to standard error in the foreground.
  const std::string err = agentStderr();
  EXPECT_NE(err.find("Received incorrect SID"), std::string::npos) << err;
  EXPECT_NE(err.find("Received incorrect passphrase"), std::string::npos) << err;
  EXPECT_NE(err.find("Command not found"), std::string::npos) << err;
}

TEST_F(SessionTest, ReadFailuresEndTheSessionWithoutThreadStopped) {
  size_t from = logLines().size();
  authed()->close();
  EXPECT_EQ(logSince(from, "Connection closed"),
            (std::vector<std::string>{"Connection started", "Could not read from socket.", "Connection closed"}));

  from = logLines().size();
  EXPECT_EQ(exchangeUntilClose("abc:xyz"), "");
  EXPECT_EQ(logSince(from, "Connection closed"),
            (std::vector<std::string>{"Connection started",
                                      "Could not read from socket bad lexical cast: source type value could "
                                      "not be interpreted as target",
                                      "Connection closed"}));

  // A negative length can never be satisfied: the agent must not wait for it.
  from = logLines().size();
  EXPECT_EQ(exchangeUntilClose("-5:"), "");
  std::vector<std::string> log = logSince(from, "Connection closed");
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].rfind("Could not read from socket ", 0), 0u) << log[1];
}

TEST_F(SessionTest, AllowListDecidesWhichPeersAreServed) {
  stopAgent();
  writeConfig("whitelist=10.9.9.9\n");
  startAgent();
  EXPECT_EQ(exchangeUntilClose(handshakeFrames()), "") << "a denied peer gets no byte";
  logSince(0, "Connection started");
  EXPECT_EQ(logLines(), (std::vector<std::string>{"Kadrel-Remote Started", "Denied login from unknown ip",
                                                  "Connection started"}));

  for (const char* list : {"127.0.0.1", "10.0.0.1;127.0.0.1", ";10.0.0.1"}) {
    SCOPED_TRACE(list);
    stopAgent();
    writeConfig(std::string("whitelist=") + list + "\n");
    startAgent();
    EXPECT_EQ(versionWithin(), "2.0.0.0\r\n");
    std::vector<std::string> log = logSince(0, "Thread stopped");
    // An empty first entry switches the check off: nothing is logged about the peer.
    const bool checked = list[0] != ';';
    EXPECT_EQ(std::count(log.begin(), log.end(), "Allowed login from known ip"), checked ? 1 : 0);
    EXPECT_EQ(std::count(log.begin(), log.end(), "Denied login from unknown ip"), 0);
  }
}

TEST_F(SessionTest, SettingsCarryOverToLaterConnections) {
  // Initially no reply is wanted: the instruction runs and the connection just closes.
  {
    auto client = authed();
    ASSERT_TRUE(client->sendFrame("cmd_exec: version"));
    std::string received;
    EXPECT_TRUE(client->waitClosed(20000, &received));
    EXPECT_EQ(received, "");
  }
  // Replies wanted, connections still closed after the reply.
  clientWith("yes", "yes")->close();
  {
    auto client = authed();
    ASSERT_TRUE(client->sendFrame("cmd_exec: version"));
    std::string received;
    EXPECT_TRUE(client->waitClosed(20000, &received)) << "the agent kept the connection open";
    EXPECT_EQ(received, "2.0.0.0\r\n");
  }
  // Keep open after a reply: a connection that sets nothing sends several instructions.
  clientWith("yes", "no")->close();
  {
    auto client = authed();
    exchange(*client, "cmd_exec: version", "2.0.0.0");
    exchange(*client, "cmd_exec: VERSION", "2.0.0.0");
  }
  // The acting account set by one connection serves the next.
  ensureAccount("kadrelsess");
  exchange(*authed(), "cmd_user: kadrelsess", "User received");
  exchange(*authed(), "cmd_exec: command:_:id -un", "kadrelsess\n\n");  // the output plus a line feed
}

TEST_F(SessionTest, EachConnectionKeepsItsOwnSettings) {
  auto a = clientWith("yes", "no");
  auto b = clientWith("no", "yes");  // set after A: the process-wide values are now B's
  // A's own values win over the process-wide ones B just set: a reply, and A stays open.
  exchange(*a, "cmd_exec: version", "2.0.0.0");
  exchange(*a, "cmd_exec: version", "2.0.0.0");
  ASSERT_TRUE(b->sendFrame("cmd_exec: version"));
  std::string received;
  EXPECT_TRUE(b->waitClosed(20000, &received));
  EXPECT_EQ(received, "") << "B asked for no reply";
}

TEST_F(SessionTest, ASlowInstructionDoesNotHoldUpAnotherConnection) {
  // A's command waits for a file that the test creates only after B was served.
  const std::string gate = dir_ + "/gate";
  auto a = clientWith("yes", "yes");
  ASSERT_TRUE(a->sendFrame("cmd_exec: command:_:for i in $(seq 600); do [ -e " + gate +
                           " ] && break; sleep 0.1; done; echo a"));
  ASSERT_TRUE(waitForLogLine("returnExec"));

  auto b = clientWith("yes", "yes");
  exchange(*b, "cmd_exec: version", "2.0.0.0");  // fails if B waits for A's instruction

  std::ofstream(gate).close();
  EXPECT_EQ(a->readUntilClose(90000), "a\n\n\r\n");
}

TEST_F(SessionTest, FramesOverThePreAuthenticationLimitAreRefused) {
  size_t from = logLines().size();
  auto client = connectClient();
  ASSERT_TRUE(client->sendRaw("65537:"));  // the payload is never sent
  std::string received;
  EXPECT_TRUE(client->waitClosed(20000, &received)) << "the agent waited for an oversized payload";
  EXPECT_EQ(received, "");
  std::vector<std::string> log = logSince(from, "Connection closed");
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].rfind("Could not read from socket ", 0), 0u) << log[1];

  // The largest allowed frame is read whole and answered.
  EXPECT_EQ(exchangeUntilClose(PanelClient::frame("SID " + std::string(65532, 'x'))), "Received incorrect SID\r\n");
}

TEST_F(SessionTest, LargeFramesAreAcceptedOnceAuthenticated) {
  auto client = clientWith("yes", "no");
  // 1 MB: more than one read; only the second field counts.
  exchange(*client, "cmd_return: yes " + std::string(1000000, 'x'), "Return received");
  exchange(*client, "cmd_exec: command:_:echo ok #" + std::string(120000, 'y'), "ok\n\n");
  client->close();
  EXPECT_EQ(versionWithin(), "2.0.0.0\r\n");
}

TEST_F(SessionTest, FramesMaySpanWritesAndSeveralMayShareOne) {
  auto client = connectClient();
  for (char c : PanelClient::frame("SID " + sid_)) {
    ASSERT_TRUE(client->sendRaw(std::string(1, c)));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::string reply;
  ASSERT_TRUE(client->readReply(reply, 20000));
  EXPECT_EQ(reply, "Correct SID received");

  // Three frames in one write: three replies in order.
  ASSERT_TRUE(client->sendRaw(PanelClient::frame("Passphrase " + pass_) + PanelClient::frame("cmd_return: yes") +
                              PanelClient::frame("cmd_close: no")));
  const std::string expected = "Correct passphrase received\r\nReturn received\r\nClose received\r\n";
  std::string got;
  while (got.size() < expected.size() && client->readReply(reply, 20000)) got += reply + "\r\n";
  EXPECT_EQ(got, expected);
  exchange(*client, "cmd_exec: version", "2.0.0.0");
}

// Waits for the 30-second handshake limit: this test takes about half a minute.
TEST_F(SessionTest, SlowHandshakeIsCutOffButAuthenticatedIdleConnectionsStay) {
  auto idle = clientWith("yes", "no");  // opened first: its limit would run out first
  size_t from = logLines().size();
  auto silent = connectClient();
  std::string received;
  EXPECT_TRUE(silent->waitClosed(60000, &received)) << "a silent client was never cut off";
  EXPECT_EQ(received, "");
  std::vector<std::string> log = logSince(from, "Connection closed");
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].rfind("Could not read from socket ", 0), 0u) << log[1];

  exchange(*idle, "cmd_exec: version", "2.0.0.0");  // fails if the limit cut it off too
}
