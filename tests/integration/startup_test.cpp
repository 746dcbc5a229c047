// Start-up: configuration failures, host-program checks, the detached daemon and its debug
// file, the listening port.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <set>
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
  // Runs the agent to its end with a `whereis` first in PATH that reports `missing` as not found.
  ProgramResult runAgent(const std::string& missing = "") {
    const std::string bin = dir_ + "/fakebin";
    mkdir(bin.c_str(), 0755);
    std::ofstream(bin + "/whereis") << "#!/bin/sh\n[ \"$1\" = '" + missing +
                                           "' ] && echo \"$1:\" || exec /usr/bin/whereis \"$@\"\n";
    chmod((bin + "/whereis").c_str(), 0755);
    // Both paths as arguments, never as shell text: a checkout's path may hold blanks.
    return runProgram({"/bin/bash", "-c", "PATH=\"$1:$PATH\" exec \"$0\"", KADREL_AGENT_BINARY, bin}, dir_,
                      20000);
  }
};

TEST_F(StartupTest, FailuresBeforeListeningEndTheAgent) {
  const std::string good =
      "serverid=a\npassphrase=b\ndebug=alwayson\nlistenport=" + std::to_string(port_) + "\n";
  const struct {
    std::string config;  // kadrel.ini, none when empty
    const char* missingProgram;
    int status;
    const char* err;
  } cases[] = {
      {"", "", 1, "Couldn't read the config file\n"},
      {good + "junk\n", "", 1, "There was an error loading the config. Error: Field is empty\n"},
      {good.substr(good.find('\n') + 1), "", 1, "Error loading configuration. A setting wasn't loaded\n"},
      {good, "screen", 0, "\nError: The 'screen' program is missing\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    unlink((dir_ + "/kadrel.ini").c_str());
    if (!c.config.empty()) writeRawConfig(c.config);
    ProgramResult r = runAgent(c.missingProgram);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(portListening(port_));
  }
}

// The started process returns once the daemon listens; the daemon leaves the starter's
// session without leading one of its own, reads and writes /dev/null, and logs to a debug file
// only root may read, also the reason a command cannot start under a descriptor shortage.
TEST_F(StartupTest, DetachesOnceListeningAndLogsToItsPrivateDebugFile) {
  writeConfig("", "on");
  // No system logger runs in the sandbox: what the daemon sends to the console lands here.
  const std::string console = dir_ + "/console";
  shell("touch '" + console + "' && mount --bind '" + console + "' /dev/console");
  ProgramResult r = runAgent();
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
  const std::string expected = "Kadrel-Remote Started\nConnection started\nProcess Call: " +
                               std::to_string(sizeof KADREL_VERSION - 1) +
                               " bytes\nSocket Closed\nThread stopped\n";
  EXPECT_TRUE(waitUntil([&] { return readWholeFile(debugFile) == expected; })) << readWholeFile(debugFile);
  struct stat st;
  ASSERT_EQ(::stat(debugFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(readWholeFile(console), "") << "audit lines have no place on the console";
  shell("umount /dev/console");

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // A sanitized agent needs descriptors of its own at unforeseeable moments: the shortage below
  // would end it rather than the command; the plain build checks the logged failure.
  return;
#endif
  // Room for the connection's socket and nothing more: the command's pipe cannot be made.
  std::istringstream fds(shell("ls " + proc + "/fd"));
  std::set<int> open;
  for (int fd; fds >> fd;) open.insert(fd);
  int lowestFree = 0;
  while (open.count(lowestFree)) ++lowestFree;
  ASSERT_EQ(runProgram({"/usr/bin/prlimit", "--pid", std::to_string(left[0]),
                        "--nofile=" + std::to_string(lowestFree + 1)},
                       "")
                .status,
            0);
  runInstruction("command:_:echo never");
  EXPECT_TRUE(waitUntil([&] {
    return readWholeFile(debugFile).find("\npipe(): Too many open files\n") != std::string::npos;
  })) << readWholeFile(debugFile);
}

TEST_F(StartupTest, PortInUseIsLoggedInTheForegroundAndFailsTheDetachingStart) {
  startAgent();  // holds the port
  ProgramResult r = runAgent();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Kadrel-Remote Started\nError: Could not bind to port.\n");
  writeConfig("", "off");
  r = runAgent();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: Could not bind to port.\n");
  EXPECT_TRUE(waitUntil([&] { return processesIn(dir_) == std::vector<pid_t>{pid_}; }, 10000))
      << "the daemon must end when it cannot listen";
}
