// Peers on the wire: the allow-list, frames before authentication, the penalty for a failed
// handshake, the cap on unauthenticated connections, the handshake and reply deadlines, the last
// reply, a closed standard output. After each test the agent holds no descriptor, thread or
// child it did not hold when idle (read from /proc).
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <thread>

#include "AgentFixture.h"

namespace {

class PeersTest : public AgentFixture {
 protected:
  void TearDown() override {
    if (pid_ > 0 && baseFds_ > 0) expectIdle(baseFds_);
    AgentFixture::TearDown();
  }
  // Starts the agent with `extra` configuration lines and notes what it holds when idle.
  void start(const std::string& extra = "") {
    restartAgent(extra);
    baseFds_ = agentDescriptors();
  }
  // What a connection from `source` gets for `bytes` until the agent closes it.
  std::string closedAfter(const std::string& bytes, const std::string& source = "127.0.0.1") {
    PanelClient client;
    std::string got;
    EXPECT_TRUE(client.connect("127.0.0.1", port_, nullptr, source) && client.sendRaw(bytes));
    EXPECT_TRUE(client.waitClosed(60000, &got)) << "the agent kept the connection open";
    return got;
  }
  size_t baseFds_ = 0;
};

// Before authentication a peer gets nothing but the handshake's answers: a source off the
// allow-list, a frame longer than any handshake frame (closed at its header, not at the deadline)
// and an instruction are closed without a word; a failed handshake, a wrong passphrase or a wrong
// server id, closes its source's next connection at accept (penalties are per address).
TEST_F(PeersTest, RefusedBeforeAuthentication) {
  start("whitelist=10.9.9.9\n");
  EXPECT_EQ(closedAfter(PanelClient::frame("SID " + sid_)), "");
  start("handshake_timeout=600\npenalty_loopback=yes\npenalty_seconds=600\n");
  const std::string wrong = PanelClient::frame("SID " + sid_) + PanelClient::frame("Passphrase not-" + pass_);
  const struct {
    std::string source, bytes, got;
  } cases[] = {
      {"127.0.0.2", "65537:", ""},
      {"127.0.0.3", PanelClient::frame("cmd_exec: command:_:touch " + dir_ + "/ran"), ""},
      {"127.0.0.4", wrong, "Correct SID received\r\nReceived incorrect passphrase\r\n"},
      {"127.0.0.4", wrong, ""},
      {"127.0.0.5", PanelClient::frame("SID not-" + sid_), "Received incorrect SID\r\n"},
      {"127.0.0.5", wrong, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(closedAfter(c.bytes, c.source), c.got) << c.source << " " << c.bytes;
  EXPECT_FALSE(pathExists(dir_ + "/ran"));
  EXPECT_EQ(runInstruction("version"), KADREL_VERSION "\r\n");
}

// The audit trail, read from a system log of the test's own (on a /dev private to the sandbox),
// names each instruction, but never a name that selects none: that is a command line, which may
// hold a password.
TEST_F(PeersTest, AuditNamesInstructionsButNeverACommandLine) {
  shell(
      "mkdir /tmp/dev && mount -t tmpfs dev /tmp/dev && for n in null zero urandom; do touch /tmp/dev/$n && "
      "mount --bind /dev/$n /tmp/dev/$n; done && mount --move /tmp/dev /dev");
  const int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = {AF_UNIX, "/dev/log"};
  ASSERT_EQ(bind(log, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  restartAgent();  // the agent keeps the log's socket: no idle count
  runInstruction("version");
  runInstruction("echo kadrel-secret-word");
  std::string records;
  char record[4096];
  // Until both instructions' records came (the second "name=").
  for (pollfd p = {log, POLLIN, 0}; records.find("name=", records.find("name=") + 1) == std::string::npos;) {
    ASSERT_EQ(poll(&p, 1, 60000), 1) << records;
    records.append(record, static_cast<size_t>(std::max<ssize_t>(recv(log, record, sizeof record, 0), 0)));
  }
  EXPECT_NE(records.find("name=version "), std::string::npos) << records;
  EXPECT_EQ(records.find("kadrel-secret-word"), std::string::npos) << records;
  // Each record as syslog() would send it: facility auth, priority info, the time, name and pid.
  EXPECT_TRUE(
      std::regex_search(records, std::regex("^<38>[A-Z][a-z]{2} [ 123][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
                                            "kadrel\\[[0-9]+\\]: audit: handshake peer=127\\.0\\.0\\.1 "
                                            "result=accepted<38>")))
      << records;
  close(log);
}

// 150 silent peers from 150 addresses under a descriptor limit of 64: the cap (16) keeps
// descriptors free, and a new panel is served at once. (An authenticated session never counts
// among them: Handshake shows it.)
TEST_F(PeersTest, SilentFloodFromManyAddressesLeavesThePanelServed) {
  start();
  ASSERT_EQ(runProgram({"/usr/bin/prlimit", "--pid", std::to_string(pid_), "--nofile=64"}, "").status, 0);
  std::vector<PanelClient> silent(150);
  for (size_t i = 0; i < silent.size(); ++i)
    ASSERT_TRUE(silent[i].connect("127.0.0.1", port_, nullptr, "127.0.0." + std::to_string(i + 2)) &&
                silent[i].sendRaw("9"));
  ASSERT_TRUE(waitForLog("Unauthenticated connections at the limit of 16: closed "));
  // All but the 16 the cap allows are closed.
  size_t closed = 0;
  const auto isClosed = [](PanelClient& c) { return c.waitClosed(0); };
  EXPECT_TRUE(waitUntil(
      [&] { return (closed = std::count_if(silent.begin(), silent.end(), isClosed)) == silent.size() - 16; },
      60000))
      << closed;
  EXPECT_EQ(runInstruction("version", "root", "yes", 10000), KADREL_VERSION "\r\n");
}

// A peer that never completes the handshake, silent or sending correct SID frames without
// reading the answers, is cut off at the deadline; an authenticated session idle for longer than
// that, and than a finished worker waits for its next connection (worker_idle_seconds), is not.
TEST_F(PeersTest, HandshakeDeadlineCutsOffSilentAndNonReadingPeers) {
  start("handshake_timeout=3\n");
  auto idle = openSession("", "yes", "no");  // opened first: its limit would run out first
  EXPECT_EQ(closedAfter(""), "") << "a silent client is cut off";
  // A peer that sends and never reads, on a socket of its own so that a full buffer never blocks.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in agent{};
  agent.sin_family = AF_INET;
  agent.sin_port = htons(static_cast<uint16_t>(port_));
  agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&agent), sizeof agent), 0);
  std::string frames;
  while (frames.size() < 65536) frames += PanelClient::frame("SID " + sid_);
  // Write until the agent stops reading (its replies fill both buffers) and its thread ends.
  EXPECT_TRUE(waitUntil(
      [&] {
        return send(fd, frames.data(), frames.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
               (errno != EAGAIN || agentStatus("Threads:") == kIdleAgentThreads + 1);
      },
      60000))
      << "the agent kept a thread on a peer that never reads";
  close(fd);
  std::string reply;
  EXPECT_TRUE(idle->request("cmd_exec: version", reply, 20000) && reply == KADREL_VERSION);
}

// The metrics file counts each way a connection ends before or by its handshake, and the
// sources serving a penalty.
TEST_F(PeersTest, MetricsCountHowConnectionsEnded) {
  const std::string metrics = "metrics_file=" + dir_ + "/kadrel.prom\nmetrics_interval=1\n";
  const auto shows = [&](const std::vector<std::string>& lines) {
    return waitUntil([&] {
      const std::string text = readWholeFile(dir_ + "/kadrel.prom");
      return std::all_of(lines.begin(), lines.end(),
                         [&](const std::string& l) { return text.find(l) != std::string::npos; });
    });
  };
  restartAgent(metrics + "whitelist=10.9.9.9\n");
  EXPECT_EQ(closedAfter(PanelClient::frame("SID " + sid_)), "");
  EXPECT_TRUE(shows({"kadrel_connections_total{outcome=\"refused_allow_list\"} 1\n"}));
  restartAgent(metrics +
               "penalty_loopback=yes\npenalty_seconds=600\nmax_unauthenticated=1\nhandshake_timeout=2\n");
  const std::string wrong = PanelClient::frame("SID " + sid_) + PanelClient::frame("Passphrase not-" + pass_);
  EXPECT_NE(closedAfter(wrong, "127.0.0.2"), "");
  EXPECT_EQ(closedAfter(wrong, "127.0.0.2"), "");
  const auto started = [&] {  // connections served so far
    const std::string log = readWholeFile(dir_ + "/agent.out");
    size_t n = 0;
    for (size_t at = 0; (at = log.find("Connection started", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  const size_t before = started();
  PanelClient evicted;  // the first of two silent ones: the second makes room, then runs out of time
  ASSERT_TRUE(evicted.connect("127.0.0.1", port_, nullptr, "127.0.0.3"));
  EXPECT_TRUE(waitUntil([&] { return started() > before; }));
  EXPECT_EQ(closedAfter(""), "");
  EXPECT_TRUE(evicted.waitClosed(60000));
  EXPECT_EQ(runInstruction("version"), KADREL_VERSION "\r\n");
  EXPECT_TRUE(
      shows({"{outcome=\"served\"} 1\n", "{outcome=\"handshake_failed\"} 1\n", "{outcome=\"penalised\"} 1\n",
             "{outcome=\"refused_cap\"} 1\n", "{outcome=\"timed_out\"} 1\n", "kadrel_penalised_sources 1\n",
             "kadrel_connections{state=\"authenticated\"} 0\n"}))
      << readWholeFile(dir_ + "/kadrel.prom");
}

// After authentication a reply that makes no progress is abandoned: the connection closes
// and the command's child is gone.
TEST_F(PeersTest, StalledReplyIsAbandoned) {
  start("reply_timeout=2\n");
  auto client = openSession("", "yes", "");
  ASSERT_TRUE(client->sendFrame("cmd_exec: command:_:head -c 30000000 /dev/zero"));
  EXPECT_TRUE(waitForLog("Reply abandoned after 2 s without progress", 90000));
  EXPECT_TRUE(client->waitClosed(90000));
}

// The agent closes after its reply while far more of the peer's input is unread than it takes
// in one read; the whole reply must arrive all the same, not be cut off by a reset.
TEST_F(PeersTest, LastReplyArrivesWholeBeforeCloseWithUnreadInput) {
  start();
  for (size_t bytes : {3000000, 1}) {
    auto client = openSession("", "yes", "yes");
    ASSERT_TRUE(client->sendRaw(
        PanelClient::frame("cmd_exec: command:_:head -c " + std::to_string(bytes) + " /dev/zero") +
        PanelClient::frame("cmd_exec: version") + std::string(65536, 'j')));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the agent closes meanwhile
    EXPECT_EQ(client->readUntilClose(60000).size(), bytes + 3) << bytes;
  }
}

// A log line written to a standard output nobody reads does not end the agent; its commands
// still start with SIGPIPE at its default.
TEST_F(PeersTest, ClosedStandardOutputDoesNotKillTheAgent) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);  // the agent must not hold the reading end itself
  agentStdout_ = "/proc/self/fd/" + std::to_string(p[1]);
  start();
  close(p[0]);
  close(p[1]);
  const std::string mask = runInstruction("command:_:sed -n 's/^SigIgn:\\s*//p' /proc/self/status");
  EXPECT_TRUE(agentRunning());
  ASSERT_GE(mask.size(), 16u) << mask;
  EXPECT_EQ(std::stoull(mask.substr(0, 16), nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u) << mask;
}

}  // namespace
