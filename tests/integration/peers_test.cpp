// Peers on the wire: the allow-list, frames before authentication, the cap on unauthenticated
// connections, the penalty for a failed handshake, the handshake and reply deadlines, the last
// reply, a closed standard output. After each test the agent holds no descriptor, thread or
// child it did not hold when idle (read from /proc).
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "AgentFixture.h"

namespace {

// Connects from `source` without waiting for the handshake, and sends `first` once it can (the
// start of a frame, never finished): bytes on the wire make the client's kernel retry until the
// agent's kernel has taken the connection, also when its accept queue was full. -1 on failure.
int silentConnect(const std::string& source, int port, const std::string& first = "") {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &a.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return close(fd), -1;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS)
    return close(fd), -1;
  pollfd p = {fd, POLLOUT, 0};
  if (!first.empty() && (poll(&p, 1, 20000) != 1 || send(fd, first.data(), first.size(), MSG_NOSIGNAL) < 0))
    return close(fd), -1;
  return fd;
}

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
  // A connection from `source` that completed the handshake, or null.
  std::unique_ptr<PanelClient> authedFrom(const std::string& source) {
    auto client = std::make_unique<PanelClient>();
    if (!client->connect("127.0.0.1", port_, nullptr, source)) return nullptr;
    return client->handshake(sid_, pass_) ? std::move(client) : nullptr;
  }
  // What a connection from `source` gets for `bytes` until the agent closes it.
  std::string closedAfter(const std::string& bytes, const std::string& source = "127.0.0.1") {
    PanelClient client;
    std::string got;
    if (!client.connect("127.0.0.1", port_, nullptr, source)) return "(no connection)";
    EXPECT_TRUE(client.sendRaw(bytes));
    EXPECT_TRUE(client.waitClosed(60000, &got)) << "the agent kept the connection open";
    return got;
  }
  size_t baseFds_ = 0;
};

// A denied peer gets no byte; before authentication no command runs and a long frame is refused
// at its header (the close may not wait for the handshake deadline).
TEST_F(PeersTest, DeniedAndUnauthenticatedPeersGetNothing) {
  start("whitelist=10.9.9.9\n");
  EXPECT_EQ(closedAfter(PanelClient::frame("SID " + sid_)), "");
  EXPECT_TRUE(waitForLog("Denied login from unknown ip"));
  start("whitelist=10.0.0.1;127.0.0.1\nhandshake_timeout=600\n");
  EXPECT_EQ(runInstruction("version"), KADREL_VERSION "\r\n");
  EXPECT_EQ(closedAfter("65537:"), "");
  EXPECT_EQ(closedAfter(PanelClient::frame("cmd_exec: command:_:touch " + dir_ + "/ran")), "");
  EXPECT_FALSE(pathExists(dir_ + "/ran"));
}

// 150 silent peers from 150 addresses under a descriptor limit of 64: the cap (16) keeps
// descriptors free, a panel's session opened before the flood is never taken for one of them,
// and a new panel is served at once.
TEST_F(PeersTest, SilentFloodFromManyAddressesLeavesThePanelServed) {
  start();
  ASSERT_EQ(runProgram({"/usr/bin/prlimit", "--pid", std::to_string(pid_), "--nofile=64"}, "").status, 0);
  auto panel = authedFrom("127.0.0.1");
  ASSERT_TRUE(panel);
  std::vector<int> silent;
  for (int i = 2; i < 152; ++i) silent.push_back(silentConnect("127.0.0." + std::to_string(i), port_, "9"));
  ASSERT_TRUE(waitForLog("Unauthenticated connections at the limit of 16: closed "));
  size_t closed = 0;
  EXPECT_TRUE(waitUntil(
      [&] {
        closed = 0;
        for (int fd : silent) {
          char c;
          closed += fd >= 0 && recv(fd, &c, 1, MSG_DONTWAIT) == 0;
        }
        return closed == silent.size() - 16;
      },
      60000))
      << closed;
  std::string reply;
  EXPECT_TRUE(panel->request("cmd_return: yes", reply, 20000) && reply == "Return received")
      << "the authenticated session was closed to make room: " << reply;
  EXPECT_EQ(runInstruction("version", "root", "yes", 10000), KADREL_VERSION "\r\n");
  for (int fd : silent) close(fd);
}

// A failed handshake closes its source's next connection at accept; another address is served.
TEST_F(PeersTest, AFailedHandshakeEarnsItsSourceAPenalty) {
  start("penalty_loopback=yes\npenalty_seconds=600\n");
  const std::string wrong = PanelClient::frame("SID " + sid_) + PanelClient::frame("Passphrase not-" + pass_);
  EXPECT_EQ(closedAfter(wrong, "127.0.0.2"), "Correct SID received\r\nReceived incorrect passphrase\r\n");
  EXPECT_EQ(closedAfter(wrong, "127.0.0.2"), "") << "served while the penalty lasts";
  EXPECT_TRUE(authedFrom("127.0.0.3")) << "another address is not served";
}

// A peer that never completes the handshake, silent or sending correct SID frames without
// reading the answers, is cut off at the deadline; an authenticated idle session is not.
TEST_F(PeersTest, HandshakeDeadlineCutsOffSilentAndNonReadingPeers) {
  start("handshake_timeout=3\n");
  auto idle = openSession("", "yes", "no");  // opened first: its limit would run out first
  EXPECT_EQ(closedAfter(""), "") << "a silent client is cut off";
  int fd = silentConnect("127.0.0.1", port_);
  ASSERT_GE(fd, 0);
  std::string frames;
  while (frames.size() < 65536) frames += PanelClient::frame("SID " + sid_);
  // Write until the agent stops reading (its replies fill both buffers) and its thread ends.
  bool closed = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!closed && std::chrono::steady_clock::now() < until) {
    ssize_t n = send(fd, frames.data(), frames.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EAGAIN) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    closed = n < 0 && (errno != EAGAIN || agentStatus("Threads:") == kIdleAgentThreads + 1);
  }
  EXPECT_TRUE(closed) << "the agent kept a thread on a peer that never reads";
  close(fd);
  std::string reply;
  EXPECT_TRUE(idle->request("cmd_exec: version", reply, 20000) && reply == KADREL_VERSION);
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

// A session idle for longer than a finished worker waits for its next connection is still
// served: that wait (worker_idle_seconds, 1 here) bounds accepting, never a connection's reads.
TEST_F(PeersTest, SessionIdleLongerThanTheWorkersWaitIsServed) {
  start();
  auto client = openSession("", "yes", "no");
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  std::string reply;
  ASSERT_TRUE(client->request("cmd_exec: version", reply));
  EXPECT_EQ(reply, KADREL_VERSION);
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
  ASSERT_EQ(pipe(p), 0);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(p[1], 1);
    close(p[0]);  // the agent must not hold the reading end itself
    dup2(open("/dev/null", O_WRONLY), 2);
    if (chdir(dir_.c_str()) == 0)
      execl(KADREL_AGENT_BINARY, KADREL_AGENT_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(p[0]);
  close(p[1]);
  ASSERT_TRUE(waitUntil([&] { return portListening(port_) || !agentRunning(); }));
  baseFds_ = agentDescriptors();
  const std::string mask = runInstruction("command:_:sed -n 's/^SigIgn:\\s*//p' /proc/self/status");
  EXPECT_TRUE(agentRunning());
  ASSERT_GE(mask.size(), 16u) << mask;
  EXPECT_EQ(std::stoull(mask.substr(0, 16), nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u) << mask;
}

}  // namespace
