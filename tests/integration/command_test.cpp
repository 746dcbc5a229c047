// Running shell command lines for the panel: "command" and unknown instruction names, with and
// without a reply, as root and as accounts, and what the commands inherit from the agent.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "AgentFixture.h"

namespace {

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool processAlive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

// Prints uid, gid, groups, working directory, the account variables and the probe variable.
const std::string kWhoAmI =
    "id -u; id -g; id -G; pwd; printf '%s|%s|%s|%s\\n' \"$USER\" \"$LOGNAME\" \"$HOME\" \"$KADREL_PROBE\"";

class CommandTest : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
    pub_ = dir_ + "/pub";  // writable for every account
    ASSERT_EQ(mkdir(pub_.c_str(), 0777), 0);
    chmod(pub_.c_str(), 0777);
    // Values a command's environment can be traced back to, and a supplementary group (100)
    // that an account's commands must not keep.
    agentEnv_ = {"KADREL_PROBE=probe-value", "USER=agent-user", "LOGNAME=agent-logname", "HOME=/agent-home"};
    agentGroups_ = {0, 100};
    // Text waiting on the agent's standard input (a terminal, in the foreground) that no
    // command may read.
    agentStdin_ = dir_ + "/terminal";
    std::ofstream(agentStdin_) << "typed at the terminal\n";
    startAgent();
  }

  void TearDown() override {
    for (pid_t pid : leftovers_) kill(pid, SIGKILL);
    AgentFixture::TearDown();
  }

  // Waits for the file a command writes the id of a process it left behind into.
  pid_t leftoverFrom(const std::string& pidFile) {
    waitUntil([&] { return readWholeFile(pidFile).find('\n') != std::string::npos; }, 30000);
    pid_t pid = static_cast<pid_t>(atoi(readWholeFile(pidFile).c_str()));
    if (pid > 0) leftovers_.push_back(pid);
    return pid;
  }

  bool agentAnswers() { return runInstruction("command:_:echo alive") == "alive\n\n\r\n"; }

  // Root, in any letter case, runs as the agent; an account runs as itself with its primary
  // group alone, in its home, with its own account variables and the agent's other ones.
  void expectIdentities() {
    for (const std::string user : {"root", "RoOt"})
      EXPECT_EQ(runInstruction("command:_:" + kWhoAmI, user),
                "0\n0\n0 100\n" + dir_ + "\nagent-user|agent-logname|/agent-home|probe-value\n\n\r\n")
          << user;

    const std::string name = "kcmdacct";
    ensureAccount(name, "-G adm");
    const std::string uid = shell("id -u " + name), gid = shell("id -g " + name);
    ASSERT_NE(shell("id -G " + name), gid) << "the account should belong to a second group";
    const std::string expected =
        uid + gid + gid + "/home/" + name + "\n" + name + "|" + name + "|/home/" + name + "|probe-value\n";
    EXPECT_EQ(runInstruction("command:_:" + kWhoAmI, name), expected + "\n\r\n");
    EXPECT_EQ(runInstruction("command:_:{ " + kWhoAmI + "; } > " + pub_ + "/who", name, "no"), "");
    EXPECT_EQ(readWholeFile(pub_ + "/who"), expected);
  }

  int agentDescriptors() { return atoi(shell("ls /proc/" + std::to_string(pid_) + "/fd | wc -l").c_str()); }

  std::string pub_;
  std::vector<pid_t> leftovers_;
};

using CommandReply = CommandTest;
using CommandIdentity = CommandTest;
using CommandDescriptors = CommandTest;
using CommandBackground = CommandTest;
using CommandConcurrency = CommandTest;

TEST_F(CommandReply, ReplyIsTheStandardOutputPlusOneLineFeedOnlyWhenWanted) {
  const std::string ran = dir_ + "/ran", longArgument(100000, 'a');
  const struct {
    std::string instruction, flag, reply;
  } cases[] = {
      {"command:_:true", "yes", "\n\r\n"},
      {"command:_:printf abc", "YES", "abc\n\r\n"},
      {"command:_:cat; readlink /proc/$$/fd/0", "yes", "/dev/null\n\n\r\n"},  // never the agent's input
      {"command:_:echo abc; ls /no/such/path", "yes", "abc\n\n\r\n"},         // standard error is not sent
      {"command:_:printf 'a\\0b\\0'", "yes", std::string("a\0b\0\n\r\n", 7)},
      {"command:_:head -c 300000 /dev/zero", "yes", std::string(300000, '\0') + "\n\r\n"},
      {"command:_:echo " + longArgument, "yes", longArgument + "\n\n\r\n"},
      {"echo:_:one:_:two", "yes", "one\n\n\r\n"},  // an unknown name runs with its first argument
      {"COMMAND:_:echo hi", "yes", "\n\r\n"},      // runs "COMMAND echo hi", which bash cannot find
      // The connection closes only after bash ended, so the file is there by then.
      {"command:_:echo lost; sleep 0.5; touch " + ran + "-command", "no", ""},
      {"touch:_:" + ran + "-name", "maybe", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(runInstruction(c.instruction, "root", c.flag), c.reply) << c.instruction.substr(0, 60);
  EXPECT_TRUE(fileExists(ran + "-command"));
  EXPECT_TRUE(fileExists(ran + "-name"));
  const std::vector<std::string> lines = logLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "returnExec"), 9);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "No return, forking.."), 2);
}

TEST_F(CommandReply, LargeOutputArrivesByteForByte) {
  const std::string file = dir_ + "/big.bin";
  ASSERT_EQ(shell("head -c 67108864 /dev/urandom > " + file + " && stat -c %s " + file), "67108864\n");
  const std::string reply = runInstruction("command:_:cat " + file),
                    expected = readWholeFile(file) + "\n\r\n";
  ASSERT_EQ(reply.size(), expected.size());
  EXPECT_TRUE(reply == expected) << "first difference at byte "
                                 << (std::mismatch(reply.begin(), reply.end(), expected.begin()).first -
                                     reply.begin());
  // Streamed as it arrived: the agent never held the output.
  EXPECT_LT(agentStatusKiB("VmHWM:"), 32 * 1024);
  EXPECT_TRUE(waitForLogLine("Process Call: 67108865 bytes")) << "the size is logged, never the reply";
}

// A panel that goes away mid-reply: the command still ends (the rest of its output is read and
// dropped), and the agent keeps no child, thread or descriptor of that connection.
TEST_F(CommandReply, PeerClosingMidReplyLeavesNothingBehind) {
  ASSERT_TRUE(agentAnswers());
  ASSERT_TRUE(waitUntil([&] { return agentStatusKiB("Threads:") == kIdleAgentThreads; }))
      << "only the listener";
  const int descriptors = agentDescriptors();
  const std::string go = dir_ + "/go", finished = dir_ + "/finished";
  {
    // The first MiB arrives, then the command waits until the panel has gone.
    auto client = sendInstruction("command:_:head -c 1048576 /dev/zero; until [ -e " + go +
                                  " ]; do sleep 0.05; done; head -c 67108864 /dev/zero; touch " + finished);
    std::string got;
    EXPECT_TRUE(waitUntil(
        [&] {
          std::string part;
          EXPECT_FALSE(client->readReply(part, 20));
          got += part;
          return got.size() >= 1048576;
        },
        60000))
        << "output arrives before the command ends";
  }  // closed mid-reply
  shell("touch " + go);
  EXPECT_TRUE(waitUntil([&] { return fileExists(finished); }, 60000)) << "the command did not finish";
  EXPECT_TRUE(waitForLogLine("There was a problem with the socket: Could not write to socket.", 60000));
  EXPECT_TRUE(waitForLogLine("Process Call: 68157440 bytes"));
  EXPECT_TRUE(waitUntil([&] { return agentStatusKiB("Threads:") == kIdleAgentThreads; }, 60000))
      << "a thread is left";
  EXPECT_EQ(agentChildren(), "");
  EXPECT_EQ(agentDescriptors(), descriptors);
  EXPECT_TRUE(agentAnswers());
}

// A command killed mid-output: what it wrote, then the runner's line feed.
TEST_F(CommandReply, CommandKilledMidOutputEndsItsReply) {
  const std::string pidFile = dir_ + "/killed.pid";
  auto client = sendInstruction("command:_:head -c 5000000 /dev/zero | tr '\\0' k; echo $$ > " + pidFile +
                                "; exec sleep 300");
  std::string got;
  std::thread reader([&] { EXPECT_TRUE(client->waitClosed(120000, &got)); });
  const pid_t pid = leftoverFrom(pidFile);
  EXPECT_GT(pid, 0);
  if (pid > 0) kill(pid, SIGKILL);
  reader.join();
  EXPECT_TRUE(got == std::string(5000000, 'k') + "\n\r\n") << got.size() << " bytes";
  EXPECT_EQ(agentChildren(), "");
  EXPECT_TRUE(agentAnswers());
}

TEST_F(CommandReply, OverLongOrMissingCommandLineRunsNothing) {
  const std::string marker = dir_ + "/long-ran";
  for (const char* flag : {"yes", "no"}) {
    EXPECT_EQ(
        runInstruction("command:_:touch " + marker + "; echo " + std::string(140000, 'a'), "root", flag), "");
    EXPECT_EQ(runInstruction("command", "root", flag), "");
  }
  EXPECT_FALSE(fileExists(marker));
  for (const std::string who : {"returnExec", "noReturnExec"})
    EXPECT_NE(agentStderr().find("There was a problem with " + who + ":"), std::string::npos)
        << agentStderr();
  EXPECT_TRUE(agentAnswers());
}

TEST_F(CommandIdentity, RootRunsAsTheAgentAndAnAccountAsItself) { expectIdentities(); }

// Commands start without copying the agent, so a large agent changes nothing for them.
TEST_F(CommandIdentity, CommandsRunAsBeforeWhileTheAgentHoldsALargeAllocation) {
  // An authenticated panel sends most of a 512 MiB frame; the agent holds what arrived.
  auto holder = connectClient();
  ASSERT_TRUE(holder->handshake(sid_, pass_));
  ASSERT_TRUE(holder->sendRaw("536870912:cmd_exec: command:_:echo "));
  const std::string block(1 << 20, 'a');
  for (int i = 0; i < 320; ++i) ASSERT_TRUE(holder->sendRaw(block));
  ASSERT_TRUE(waitUntil([&] { return agentStatusKiB("VmRSS:") > 300 * 1024; }, 60000))
      << "agent VmRSS " << agentStatusKiB("VmRSS:") << " KiB";
  expectIdentities();
  EXPECT_EQ(runInstruction("command:_:cat; readlink /proc/$$/fd/0"), "/dev/null\n\n\r\n");
}

TEST_F(CommandIdentity, UnknownAccountOrMissingHomeRunsNothing) {
  ensureAccount("kcmdnohome");
  shell("rm -rf /home/kcmdnohome");
  const struct {
    std::string user, error;
  } cases[] = {{"nosuchacct", "getpwnam_r()"}, {"kcmdnohome", "chdir()"}};
  for (const auto& c : cases) {
    const std::string marker = pub_ + "/" + c.user;
    EXPECT_EQ(runInstruction("command:_:touch " + marker + "; echo ran", c.user), "\n\r\n");
    EXPECT_EQ(runInstruction("command:_:touch " + marker, c.user, "no"), "");
    EXPECT_FALSE(fileExists(marker)) << c.user;
    EXPECT_NE(agentStderr().find(c.error), std::string::npos) << agentStderr();
  }
  EXPECT_TRUE(agentAnswers());
}

TEST_F(CommandDescriptors, CommandsInheritOnlyTheStandardDescriptorsAndOnlyWithAReply) {
  ensureAccount("kcmdacct", "-G adm");
  auto idle = connectClient();  // one more of the agent's sockets that must not leak
  // `ls` runs as a child of bash and lists bash's descriptors: exactly what bash inherited.
  EXPECT_EQ(runInstruction("command:_:ls /proc/$$/fd; true"), "0\n1\n2\n\n\r\n");
  EXPECT_EQ(runInstruction("command:_:ls /proc/$$/fd; true", "kcmdacct"), "0\n1\n2\n\n\r\n");
  // Without a reply bash opens descriptor 7 itself; anything else listed was inherited.
  EXPECT_EQ(runInstruction("command:_:exec 7>" + pub_ + "/fds; ls /proc/$$/fd >&7; true", "root", "no"), "");
  EXPECT_EQ(readWholeFile(pub_ + "/fds"), "7\n");
}

TEST_F(CommandBackground, BackgroundProcessHoldsOnlyItsOwnReply) {
  // Redirected, it lets the reply come while it still runs.
  EXPECT_EQ(runInstruction("command:_:sleep 300 >/dev/null 2>&1 & echo $! > " + dir_ + "/free.pid"),
            "\n\r\n");
  EXPECT_TRUE(processAlive(leftoverFrom(dir_ + "/free.pid")));

  // Not redirected, it keeps the reply pipe of A open: A's reply cannot end before it does (its
  // output so far may arrive), B's is not held up.
  auto a = sendInstruction("command:_:sleep 300 & echo $! > " + dir_ + "/held.pid; echo A");
  const pid_t held = leftoverFrom(dir_ + "/held.pid");
  ASSERT_GT(held, 0);
  EXPECT_EQ(runInstruction("command:_:echo B"), "B\n\n\r\n");
  std::string early, rest;
  EXPECT_FALSE(a->waitClosed(100, &early));
  EXPECT_EQ(early.find('\r'), std::string::npos) << early;
  kill(held, SIGKILL);
  EXPECT_TRUE(a->waitClosed(120000, &rest));
  EXPECT_EQ(early + rest, "A\n\n\r\n");
}

TEST_F(CommandBackground, NoReplyBackgroundProcessLetsTheAgentRestartOnItsPort) {
  EXPECT_EQ(runInstruction("command:_:sleep 300 & echo $! > " + dir_ + "/bg.pid", "root", "no"), "");
  const pid_t sleeper = leftoverFrom(dir_ + "/bg.pid");
  stopAgent();
  ASSERT_TRUE(processAlive(sleeper));
  EXPECT_FALSE(portListening(port_)) << "a process left behind still holds the listening socket";
  startAgent();
  EXPECT_TRUE(agentAnswers());
}

TEST_F(CommandConcurrency, CommandsOnTwoConnectionsRunAtTheSameTime) {
  // A finishes only once B has run: B must run while A's command is still going.
  const std::string started = dir_ + "/a-started", done = dir_ + "/b-done";
  auto a = sendInstruction("command:_:touch " + started + "; for i in $(seq 600); do [ -e " + done +
                           " ] && break; sleep 0.1; done; [ -e " + done + " ] && echo A");
  ASSERT_TRUE(waitUntil([&] { return fileExists(started); }, 30000));
  EXPECT_EQ(runInstruction("command:_:touch " + done + "; echo B"), "B\n\n\r\n");
  std::string got;
  EXPECT_TRUE(a->waitClosed(120000, &got));
  EXPECT_EQ(got, "A\n\n\r\n");
}

// Each reply is streamed on its own: fifty large outputs sent at once stay apart.
TEST_F(CommandConcurrency, ManyConnectionsEachGetTheirOwnOutput) {
  const std::string marks = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWX";
  std::vector<std::unique_ptr<PanelClient>> clients;
  for (char c : marks)
    clients.push_back(sendInstruction(std::string("command:_:head -c 1000000 /dev/zero | tr '\\0' ") + c));
  for (size_t i = 0; i < marks.size(); ++i) {
    std::string got;
    EXPECT_TRUE(clients[i]->waitClosed(120000, &got));
    EXPECT_TRUE(got == std::string(1000000, marks[i]) + "\n\r\n")
        << marks[i] << ": " << got.size() << " bytes";
  }
}

// The kernel's count of connection attempts dropped because a listen queue was full, in this
// (the sandbox's) network namespace.
long listenOverflows() {
  std::ifstream in("/proc/net/netstat");
  std::string names, values;
  while (std::getline(in, names) && std::getline(in, values)) {
    if (names.compare(0, 7, "TcpExt:") != 0) continue;
    std::istringstream n(names), v(values);
    for (std::string name, value; n >> name && v >> value;)
      if (name == "ListenOverflows") return atol(value.c_str());
  }
  return -1;
}

// A panel opening many connections at once: every attempt is queued, none dropped (a dropped
// one waits a second for its retransmission).
TEST_F(CommandConcurrency, BurstOfConnectionAttemptsIsNotDropped) {
  const long before = listenOverflows();
  ASSERT_GE(before, 0) << "no ListenOverflows in /proc/net/netstat";
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<pollfd> attempts;
  for (int i = 0; i < 200; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    attempts.push_back({fd, POLLOUT, 0});
    const int rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ASSERT_TRUE(rc == 0 || errno == EINPROGRESS) << strerror(errno);
  }
  // Each attempt completes; one dropped from a full queue has been counted by then.
  for (pollfd& p : attempts) {
    ASSERT_EQ(poll(&p, 1, 60000), 1);
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len);
    EXPECT_EQ(err, 0) << strerror(err);
  }
  EXPECT_EQ(listenOverflows() - before, 0);
  for (pollfd& p : attempts) close(p.fd);
  EXPECT_TRUE(agentAnswers());
}

}  // namespace
