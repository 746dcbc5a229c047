// Start-up: configuration failures, the port in use, the detached daemon and its debug file.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <sstream>

#include "AgentFixture.h"

class StartupTest : public AgentFixture {
 protected:
  // Processes whose working directory is `dir`: the agent and anything it left behind.
  static std::vector<pid_t> processesIn(const std::string& dir) {
    std::istringstream in(shell("for p in /proc/[0-9]*; do [ \"$(readlink $p/cwd)\" = '" + dir +
                                "' ] && echo ${p#/proc/}; done"));
    std::vector<pid_t> pids;
    for (pid_t pid; in >> pid;) pids.push_back(pid);
    return pids;
  }
  void TearDown() override {
    stopAgent();
    // Detached daemons are not our children: end each one by its process id.
    for (pid_t pid : processesIn(dir_)) kill(pid, SIGKILL);
    EXPECT_TRUE(waitUntil([&] { return processesIn(dir_).empty(); }, 10000)) << "a daemon survived SIGKILL";
    AgentFixture::TearDown();
  }
  ProgramResult runAgent() { return runProgram({KADREL_AGENT_BINARY}, dir_, 20000); }
};

TEST_F(StartupTest, FailuresBeforeListeningEndTheAgent) {
  const std::string good =
      "serverid=a\npassphrase=b\ndebug=alwayson\nlistenport=" + std::to_string(port_) + "\n";
  const struct {
    std::string config;  // kadrel.ini, none when empty
    std::string err;
  } cases[] = {
      {"", "Couldn't read the config file\n"},
      {good + "junk\n", "There was an error loading the config. Error: Field is empty\n"},
      {good.substr(good.find('\n') + 1), "Error loading configuration. A setting wasn't loaded\n"},
  };
  for (const auto& c : cases) {
    unlink((dir_ + "/kadrel.ini").c_str());
    if (!c.config.empty()) writeRawConfig(c.config);
    const ProgramResult r = runAgent();
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
  }
  // The port in use: in the foreground the failure is logged, a detaching start fails with it.
  writeConfig();
  startAgent();
  EXPECT_EQ(runAgent().out, "Kadrel-Remote Started\nError: Could not bind to port.\n");
  writeConfig("", "off");
  const ProgramResult r = runAgent();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: Could not bind to port.\n");
  EXPECT_TRUE(waitUntil([&] { return processesIn(dir_) == std::vector<pid_t>{pid_}; }, 10000))
      << "the daemon must end when it cannot listen";
}

// The started process returns once the daemon listens; the daemon leaves the starter's
// session without leading one of its own, reads and writes /dev/null, and logs to a debug file
// only root may read.
TEST_F(StartupTest, DetachesOnceListeningAndLogsToItsPrivateDebugFile) {
  writeConfig("", "on");
  const ProgramResult r = runAgent();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_TRUE(portListening(port_));
  std::vector<pid_t> left = processesIn(dir_);
  ASSERT_EQ(left.size(), 1u) << "exactly the daemon should remain";
  const std::string proc = "/proc/" + std::to_string(left[0]), stat = readWholeFile(proc + "/stat");
  long sid = 0;
  sscanf(stat.c_str() + stat.rfind(')') + 2, "%*c %*d %*d %ld", &sid);
  EXPECT_NE(sid, static_cast<long>(getsid(0))) << "the daemon must leave the starter's session";
  EXPECT_NE(sid, static_cast<long>(left[0])) << "a session leader could regain a terminal";
  EXPECT_EQ(shell("cd " + proc + "/fd && readlink 0 1 2"), "/dev/null\n/dev/null\n/dev/null\n");
  EXPECT_EQ(runInstruction("version"), KADREL_VERSION "\r\n");
  const std::string debugFile = dir_ + "/debug.txt";
  EXPECT_TRUE(waitUntil([&] {
    return readWholeFile(debugFile).find("Thread stopped\n") != std::string::npos;
  })) << readWholeFile(debugFile);
  struct stat st;
  ASSERT_EQ(::stat(debugFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}
