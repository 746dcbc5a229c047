// Running shell command lines for the panel: the reply, as root and as accounts, what the
// commands inherit from the agent, streamed output, and processes left in the background.
#include <csignal>
#include <fstream>
#include <tuple>

#include "AgentFixture.h"
#include "exec/PeerWatch.h"

namespace {

// Prints the descriptors the shell has (`ls` runs as a child of bash and lists what bash
// inherited), uid, groups, working directory, the account variables and the probe variable.
const std::string kWhoAmI =
    "ls /proc/$$/fd; id -u; id -G; pwd; printf '%s|%s|%s|%s\\n' \"$USER\" \"$LOGNAME\" \"$HOME\" "
    "\"$KADREL_PROBE\"";
// The longest command line the agent runs (128 KiB less the NUL an exec argument ends with).
const size_t kLongestLine = 128 * 1024 - 1;

class CommandTest : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
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
};

using CommandReply = CommandTest;
using CommandIdentity = CommandTest;
using CommandBackground = CommandTest;

TEST_F(CommandReply, ReplyIsTheStandardOutputPlusOneLineFeedOnlyWhenWanted) {
  const std::string ran = dir_ + "/ran", longest = "echo ok" + std::string(kLongestLine - 7, ' ');
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"command:_:printf abc", "YES", "abc\n\r\n"},
      {"command:_:cat; readlink /proc/$$/fd/0", "yes", "/dev/null\n\n\r\n"},  // never the agent's input
      {"command:_:echo abc; ls /no/such/path", "yes", "abc\n\n\r\n"},         // standard error is not sent
      {"command:_:printf 'a\\0b\\0'", "yes", std::string("a\0b\0\n\r\n", 7)},
      {"echo:_:one:_:two", "yes", "one\n\n\r\n"},  // an unknown name runs with its first argument
      {"command:_:" + longest, "yes", "ok\n\n\r\n"},
      // Longer than exec takes, or no line at all: nothing runs.
      {"command:_:touch " + ran + "; " + longest, "yes", ""},
      {"command:_:touch " + ran + "; " + longest, "no", ""},
      {"command", "yes", ""},
      // The connection closes only after bash ended, so the file is there by then.
      {"command:_:echo lost; sleep 0.5; touch " + ran + "-late", "no", ""},
  };
  for (const auto& [instruction, flag, reply] : cases)
    EXPECT_EQ(runInstruction(instruction, "root", flag), reply) << instruction.substr(0, 60);
  EXPECT_FALSE(pathExists(ran));
  EXPECT_TRUE(pathExists(ran + "-late"));
  // Streamed as it arrives: the agent never holds the 64 MiB.
  EXPECT_EQ(runInstruction("command:_:head -c 64M /dev/zero").size(), (64u << 20) + 3);
#ifndef __SANITIZE_ADDRESS__  // its quarantine keeps freed blocks: the peak is the sanitizer's
  EXPECT_LT(agentStatus("VmHWM:"), 32 * 1024);
#endif
}

// A panel that goes away while its command runs, mid-reply or before any output: the command is
// ended with everything it started, and the agent keeps no child, thread or descriptor of that
// connection. A panel that ended its sending side together with its request still reads: it
// gets the whole reply.
TEST_F(CommandReply, APanelThatHasGoneEndsItsCommandOneThatOnlyStoppedSendingGetsItsReply) {
  // One connection first: a thread-sanitized agent starts the sanitizer's own thread (counted
  // in kIdleAgentThreads) with its first worker.
  ASSERT_EQ(runInstruction("version"), KADREL_VERSION "\r\n");
  ASSERT_TRUE(waitUntil([&] { return agentStatus("Threads:") == kIdleAgentThreads; }));
  const size_t descriptors = agentDescriptors();
  for (const size_t before : {1048576, 0}) {  // bytes of output that arrive before the panel goes
    {
      auto client = sendInstruction("command:_:head -c " + std::to_string(before) + " /dev/zero; sleep 600");
      std::string got, part;
      EXPECT_TRUE(waitUntil(
          [&] {
            client->readReply(part, 20);
            got += part;
            return got.size() >= before && agentChildren().find_first_of("0123456789") != std::string::npos;
          },
          60000))
          << "the command never started";
    }  // the panel goes
    EXPECT_TRUE(waitUntil([&] { return agentChildren().empty(); }, 60000)) << "the command ran on for nobody";
    expectIdle(descriptors);
  }
  EXPECT_NE(agentStderr().find(kPeerGoneWarning), std::string::npos);
  auto client = openSession("root", "yes", "yes");
  ASSERT_TRUE(client->sendLastFrame("cmd_exec: command:_:sleep 1; echo kept"));
  std::string got;
  EXPECT_TRUE(client->waitClosed(60000, &got));
  EXPECT_EQ(got, "kept\n\n\r\n");
}

// Root, in any letter case, runs as the agent; an account runs as itself with its primary
// group alone, in its home, with its own account variables and the agent's other ones, and
// with no descriptor but the standard ones; also while the agent holds a large allocation
// (commands start without copying the agent). Unknown accounts run nothing.
TEST_F(CommandIdentity, RootRunsAsTheAgentAndAnAccountAsItselfWhateverTheAgentHolds) {
  // An authenticated panel sends most of a 512 MiB frame; the agent holds what arrived.
  auto holder = openSession("", "", "");
  ASSERT_TRUE(holder->sendRaw("536870912:cmd_exec: command:_:echo "));
  const std::string block(1 << 20, 'a');
  for (int i = 0; i < 320; ++i) ASSERT_TRUE(holder->sendRaw(block));
  ASSERT_TRUE(waitUntil([&] { return agentStatus("VmRSS:") > 300 * 1024; }, 60000));
  const std::string name = "kcmdacct", home = "/home/" + name, fds = "0\n1\n2\n";
  ensureAccount(name, "-G adm");
  const std::string asAccount = fds + shell("id -u " + name) + shell("id -g " + name) + home + "\n" + name +
                                "|" + name + "|" + home + "|probe-value\n\n\r\n";
  const std::string asAgent =
      fds + "0\n0 100\n" + dir_ + "\nagent-user|agent-logname|/agent-home|probe-value\n\n\r\n";
  for (const char* user : {"root", "RoOt"})
    EXPECT_EQ(runInstruction("command:_:" + kWhoAmI, user), asAgent) << user;
  EXPECT_EQ(runInstruction("command:_:" + kWhoAmI, name), asAccount);
  for (const std::string& user : {std::string("root\0x", 6), std::string("nosuchacct")})
    EXPECT_EQ(runInstruction("command:_:" + kWhoAmI, user), "\n\r\n") << user.c_str();
}

TEST_F(CommandBackground, BackgroundProcessHoldsOnlyItsOwnReplyAndNotThePort) {
  // Not redirected, it keeps the reply pipe of A open: A's reply cannot end before it does (its
  // output so far may arrive). Redirected, it lets the reply of B come while it still runs.
  auto a = sendInstruction("command:_:sleep 300 & echo $! > " + dir_ + "/held.pid; echo A");
  const pid_t held = pidFromFile(dir_ + "/held.pid");
  leftovers_.push_back(held);
  EXPECT_EQ(runInstruction("command:_:sleep 300 >/dev/null 2>&1 & echo $! > " + dir_ + "/free.pid; echo B"),
            "B\n\n\r\n");
  leftovers_.push_back(pidFromFile(dir_ + "/free.pid"));
  std::string early, rest;
  EXPECT_FALSE(a->waitClosed(100, &early));
  EXPECT_EQ(early.find('\r'), std::string::npos) << early;
  kill(held, SIGKILL);
  EXPECT_TRUE(a->waitClosed(120000, &rest));
  EXPECT_EQ(early + rest, "A\n\n\r\n");
  // Without a reply: the agent ends and starts again on its port while the process runs on.
  EXPECT_EQ(runInstruction("command:_:sleep 300 & echo $! > " + dir_ + "/bg.pid", "root", "no"), "");
  leftovers_.push_back(pidFromFile(dir_ + "/bg.pid"));
  stopAgent();
  ASSERT_TRUE(processAlive(leftovers_.back()));
  EXPECT_FALSE(portListening(port_)) << "a process left behind still holds the listening socket";
  startAgent();
}

}  // namespace
