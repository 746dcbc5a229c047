// Running shell command lines for the panel: "command" and unknown instruction names, with and
// without a reply, as root and as accounts, and what the commands inherit from the agent.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "AgentFixture.h"

namespace {

std::string fileContent(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool processAlive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

// Values the agent is started with, so that a command's environment can be traced back to it.
const char* const kAgentEnvironment[][2] = {{"KADREL_PROBE", "probe-value"},
                                            {"USER", "agent-user"},
                                            {"LOGNAME", "agent-logname"},
                                            {"HOME", "/agent-home"}};

// The agent also runs with this supplementary group, which an account's commands must not keep.
const gid_t kAgentExtraGroup = 100;

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
    startAgentWithProbeEnvironment();
  }

  void TearDown() override {
    for (pid_t pid : leftovers_) kill(pid, SIGKILL);
    AgentFixture::TearDown();
  }

  void startAgentWithProbeEnvironment() {
    std::vector<std::pair<std::string, std::string>> saved;
    for (const auto& kv : kAgentEnvironment) {
      const char* old = getenv(kv[0]);
      saved.emplace_back(kv[0], old ? std::string(1, '=') + old : std::string());
      setenv(kv[0], kv[1], 1);
    }
    gid_t savedGroups[256];
    int savedCount = getgroups(256, savedGroups);
    const gid_t agentGroups[] = {0, kAgentExtraGroup};
    ASSERT_EQ(setgroups(2, agentGroups), 0);
    startAgent();
    if (savedCount >= 0) setgroups(static_cast<size_t>(savedCount), savedGroups);
    for (const auto& kv : saved) {
      if (kv.second.empty())
        unsetenv(kv.first.c_str());
      else
        setenv(kv.first.c_str(), kv.second.c_str() + 1, 1);
    }
  }

  // Authenticates a fresh connection, sets its user and reply flag and sends the instruction.
  std::unique_ptr<PanelClient> begin(const std::string& instruction, const std::string& user = "root",
                                     const std::string& flag = "yes") {
    auto client = authenticatedClient();
    std::string reply;
    EXPECT_TRUE(client->request("cmd_user: " + user, reply));
    EXPECT_TRUE(client->request("cmd_return: " + flag, reply));
    EXPECT_TRUE(client->request("cmd_close: yes", reply));
    EXPECT_TRUE(client->sendFrame("cmd_exec: " + instruction));
    return client;
  }

  // Everything the agent sends until it closes; the test fails if it does not close.
  std::string finish(PanelClient& client, const std::string& what) {
    std::string got;
    EXPECT_TRUE(client.waitClosed(120000, &got))
        << "the connection stayed open after " << what.substr(0, 120);
    return got;
  }

  std::string exchange(const std::string& instruction, const std::string& user = "root",
                       const std::string& flag = "yes") {
    auto client = begin(instruction, user, flag);
    return finish(*client, instruction);
  }

  // Waits for a file that a command writes the id of a process it left behind into.
  pid_t leftoverFrom(const std::string& pidFile) {
    for (int i = 0; i < 3000 && fileContent(pidFile).find('\n') == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pid_t pid = static_cast<pid_t>(atoi(fileContent(pidFile).c_str()));
    if (pid > 0) leftovers_.push_back(pid);
    return pid;
  }

  bool waitForFile(const std::string& path) {
    for (int i = 0; i < 3000 && !fileExists(path); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return fileExists(path);
  }

  bool agentAnswers() { return exchange("command:_:echo alive") == "alive\n\n\r\n"; }

  std::string pub_;
  std::vector<pid_t> leftovers_;
};

using CommandReply = CommandTest;
using CommandIdentity = CommandTest;
using CommandDescriptors = CommandTest;
using CommandBackground = CommandTest;
using CommandConcurrency = CommandTest;
using CommandLimits = CommandTest;

TEST_F(CommandReply, ReplyIsStandardOutputPlusOneLineFeed) {
  EXPECT_EQ(exchange("command:_:true"), "\n\r\n");
  EXPECT_EQ(exchange("command:_:printf abc"), "abc\n\r\n");
  EXPECT_EQ(exchange("command:_:echo abc"), "abc\n\n\r\n");
  EXPECT_EQ(exchange("command:_:printf 'a\\0b\\0'"), std::string("a\0b\0\n\r\n", 7));
  EXPECT_EQ(exchange("command:_:ls /no/such/path"), "\n\r\n");
  EXPECT_EQ(exchange("command:_:ls /no/such/path 2>&1 | grep -c 'No such file'"), "1\n\n\r\n");
  EXPECT_EQ(exchange("command:_:echo $MAINDIR/x"), dir_ + "/x\n\n\r\n");
  EXPECT_EQ(exchange("command:_:printf upper", "root", "YES"), "upper\n\r\n");
  EXPECT_TRUE(waitForLogLine("returnExec"));
  for (const std::string& line : logLines()) EXPECT_NE(line, "No return, forking..");
}

TEST_F(CommandReply, WithoutReplyFlagTheCommandRunsAndNothingIsSent) {
  // The connection closes only after bash ended, so the file is there by then.
  EXPECT_EQ(exchange("command:_:echo lost; sleep 1; touch " + dir_ + "/ran-no", "root", "no"), "");
  EXPECT_TRUE(fileExists(dir_ + "/ran-no"));
  EXPECT_EQ(exchange("command:_:echo lost; touch " + dir_ + "/ran-maybe", "root", "maybe"), "");
  EXPECT_TRUE(fileExists(dir_ + "/ran-maybe"));
  EXPECT_TRUE(waitForLogLine("No return, forking.."));
  for (const std::string& line : logLines()) EXPECT_NE(line, "returnExec");
}

TEST_F(CommandReply, UnknownNameRunsWithItsFirstArgument) {
  EXPECT_EQ(exchange("printf:_:abc"), "abc\n\r\n");
  EXPECT_EQ(exchange("echo:_:one:_:two"), "one\n\n\r\n");
  EXPECT_EQ(exchange("echo"), "\n\n\r\n");
  // Only "command" written exactly so is the command instruction; "COMMAND echo hi" finds no program.
  EXPECT_EQ(exchange("COMMAND:_:echo hi"), "\n\r\n");
  EXPECT_EQ(exchange("touch:_:" + dir_ + "/by-name", "root", "no"), "");
  EXPECT_TRUE(fileExists(dir_ + "/by-name"));
}

TEST_F(CommandReply, MissingCommandLineIsAnsweredWithNothing) {
  EXPECT_EQ(exchange("command"), "");
  EXPECT_EQ(exchange("command:_:"), "");
  EXPECT_EQ(exchange("command", "root", "no"), "");
  EXPECT_TRUE(agentRunning());
  EXPECT_TRUE(agentAnswers());
}

TEST_F(CommandReply, LargeOutputArrivesByteForByte) {
  const std::string file = dir_ + "/big.bin";
  ASSERT_EQ(shell("head -c 67108864 /dev/urandom > " + file + " && stat -c %s " + file), "67108864\n");
  std::string reply = exchange("command:_:cat " + file);
  std::string expected = fileContent(file);
  expected += "\n\r\n";
  ASSERT_EQ(reply.size(), expected.size());
  EXPECT_TRUE(reply == expected) << "first difference at byte "
                                 << (std::mismatch(reply.begin(), reply.end(), expected.begin()).first -
                                     reply.begin());
}

TEST_F(CommandIdentity, RootInAnyLetterCaseRunsAsTheAgentItself) {
  for (const std::string user : {"root", "ROOT", "Root"}) {
    EXPECT_EQ(exchange("command:_:" + kWhoAmI, user),
              "0\n0\n0 " + std::to_string(kAgentExtraGroup) + "\n" + dir_ +
                  "\nagent-user|agent-logname|/agent-home|probe-value\n\n\r\n")
        << "as " << user;
  }
}

TEST_F(CommandIdentity, AccountRunsWithItsUidPrimaryGroupHomeAndVariables) {
  const std::string name = "kcmdacct";
  ensureAccount(name, "-G adm");
  const std::string uid = shell("id -u " + name), gid = shell("id -g " + name);
  ASSERT_NE(shell("id -G " + name), gid) << "the account should belong to a second group";
  const std::string expected =
      uid + gid + gid + "/home/" + name + "\n" + name + "|" + name + "|/home/" + name + "|probe-value\n";
  EXPECT_EQ(exchange("command:_:" + kWhoAmI, name), expected + "\n\r\n");

  // Without a reply the command runs as the account too.
  EXPECT_EQ(exchange("command:_:{ " + kWhoAmI + "; } > " + pub_ + "/who", name, "no"), "");
  EXPECT_EQ(fileContent(pub_ + "/who"), expected);
  struct stat st;
  ASSERT_EQ(stat((pub_ + "/who").c_str(), &st), 0);
  EXPECT_EQ(std::to_string(st.st_uid) + "\n", uid);
}

TEST_F(CommandIdentity, UnknownAccountRunsNothing) {
  EXPECT_EQ(exchange("command:_:touch " + pub_ + "/ghost; echo ran", "nosuchacct"), "\n\r\n");
  EXPECT_EQ(exchange("command:_:touch " + pub_ + "/ghost2", "nosuchacct", "no"), "");
  EXPECT_FALSE(fileExists(pub_ + "/ghost"));
  EXPECT_FALSE(fileExists(pub_ + "/ghost2"));
  EXPECT_NE(agentStderr().find("getpwnam_r()"), std::string::npos) << agentStderr();
  EXPECT_TRUE(agentAnswers());
}

TEST_F(CommandIdentity, AccountWithoutHomeDirectoryRunsNothing) {
  const std::string name = "kcmdnohome";
  if (shell("id -u " + name + " 2>/dev/null").empty()) shell("/usr/sbin/useradd -M " + name);
  ASSERT_FALSE(shell("id -u " + name).empty());
  ASSERT_FALSE(fileExists("/home/" + name));
  EXPECT_EQ(exchange("command:_:touch " + pub_ + "/homeless; echo ran", name), "\n\r\n");
  EXPECT_EQ(exchange("command:_:touch " + pub_ + "/homeless2", name, "no"), "");
  EXPECT_FALSE(fileExists(pub_ + "/homeless"));
  EXPECT_FALSE(fileExists(pub_ + "/homeless2"));
  EXPECT_NE(agentStderr().find("chdir()"), std::string::npos) << agentStderr();
}

// `ls` runs as a child of bash and lists bash's descriptors: exactly what bash inherited.
TEST_F(CommandDescriptors, ReplyCommandSeesOnlyStandardDescriptors) {
  ensureAccount("kcmdacct", "-G adm");
  auto idle = authenticatedClient();  // one more of the agent's sockets that must not leak
  EXPECT_EQ(exchange("command:_:ls /proc/$$/fd; true"), "0\n1\n2\n\n\r\n");
  EXPECT_EQ(exchange("command:_:ls /proc/$$/fd; true", "kcmdacct"), "0\n1\n2\n\n\r\n");
}

TEST_F(CommandDescriptors, NoReplyCommandStartsWithNoDescriptors) {
  auto idle = authenticatedClient();
  // bash opens descriptor 7 itself; anything else listed was inherited.
  const std::string list = pub_ + "/fds";
  EXPECT_EQ(exchange("command:_:exec 7>" + list + "; ls /proc/$$/fd >&7; true", "root", "no"), "");
  EXPECT_EQ(fileContent(list), "7\n");
}

TEST_F(CommandBackground, RedirectedBackgroundProcessDoesNotHoldTheReply) {
  const std::string pidFile = dir_ + "/bg.pid";
  EXPECT_EQ(exchange("command:_:sleep 300 >/dev/null 2>&1 & echo $! > " + pidFile), "\n\r\n");
  pid_t sleeper = leftoverFrom(pidFile);
  ASSERT_GT(sleeper, 0);
  EXPECT_TRUE(processAlive(sleeper)) << "the reply should come while the background process still runs";
}

TEST_F(CommandBackground, HeldConnectionDoesNotDelayOtherConnections) {
  // The background sleep keeps the reply pipe of A open: A's reply waits for it.
  const std::string pidFile = dir_ + "/held.pid";
  auto a = begin("command:_:sleep 300 & echo $! > " + pidFile + "; echo A");
  pid_t sleeper = leftoverFrom(pidFile);
  ASSERT_GT(sleeper, 0);

  EXPECT_EQ(exchange("command:_:echo B"), "B\n\n\r\n");
  std::string early;
  EXPECT_FALSE(a->waitClosed(100, &early));
  EXPECT_EQ(early, "");

  kill(sleeper, SIGKILL);
  EXPECT_EQ(finish(*a, "the held command"), "A\n\n\r\n");
}

TEST_F(CommandBackground, BackgroundProcessOfNoReplyCommandHoldsNoSocket) {
  const std::string pidFile = dir_ + "/free.pid";
  EXPECT_EQ(exchange("command:_:sleep 300 & echo $! > " + pidFile, "root", "no"), "");
  pid_t sleeper = leftoverFrom(pidFile);
  ASSERT_GT(sleeper, 0);

  stopAgent();
  ASSERT_TRUE(processAlive(sleeper));
  EXPECT_FALSE(portListening(port_)) << "a process left behind still holds the listening socket";
  startAgentWithProbeEnvironment();
  EXPECT_TRUE(agentAnswers());
  EXPECT_TRUE(processAlive(sleeper));
}

TEST_F(CommandConcurrency, SlowCommandsOnTwoConnectionsRunAtTheSameTime) {
  // A finishes only once B has run: B must run while A's command is still going.
  const std::string started = dir_ + "/a-started", done = dir_ + "/b-done";
  auto a = begin("command:_:touch " + started + "; for i in $(seq 600); do [ -e " + done +
                 " ] && break; sleep 0.1; done; [ -e " + done + " ] && echo A");
  ASSERT_TRUE(waitForFile(started));
  auto b = begin("command:_:touch " + done + "; echo B");
  EXPECT_EQ(finish(*b, "B"), "B\n\n\r\n");
  EXPECT_EQ(finish(*a, "A"), "A\n\n\r\n");
}

TEST_F(CommandConcurrency, ManyConnectionsEachGetTheirOwnOutput) {
  std::vector<std::unique_ptr<PanelClient>> clients;
  for (int i = 0; i < 16; ++i)
    clients.push_back(
        begin("command:_:sleep 0.$((RANDOM % 5)); head -c 100000 /dev/zero | tr '\\0' x; echo " +
              std::to_string(i)));
  for (int i = 0; i < 16; ++i)
    EXPECT_EQ(finish(*clients[i], "client " + std::to_string(i)),
              std::string(100000, 'x') + std::to_string(i) + "\n\n\r\n");
}

TEST_F(CommandLimits, OverLongLineIsRefusedWithoutRunning) {
  const std::string marker = dir_ + "/long-ran";
  EXPECT_EQ(exchange("command:_:touch " + marker + "; echo " + std::string(140000, 'a')), "");
  EXPECT_EQ(exchange("command:_:touch " + marker + "; echo " + std::string(140000, 'a'), "root", "no"), "");
  EXPECT_FALSE(fileExists(marker));
  EXPECT_NE(agentStderr().find("There was a problem with returnExec"), std::string::npos) << agentStderr();
  EXPECT_NE(agentStderr().find("There was a problem with noReturnExec"), std::string::npos) << agentStderr();
  EXPECT_TRUE(agentAnswers());
}

TEST_F(CommandLimits, LongLineBelowTheLimitRunsWhole) {
  EXPECT_EQ(exchange("command:_:echo " + std::string(100000, 'a')), std::string(100000, 'a') + "\n\n\r\n");
}

}  // namespace
