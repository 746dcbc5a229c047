// Start-up: configuration failures, host-program checks, foreground and detached modes, the
// listening port.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
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

  // A directory holding a `whereis` that reports `missing` as not found and asks the real one otherwise.
  std::string fakeWhereis(const std::string& missing) {
    const std::string bin = dir_ + "/fakebin";
    mkdir(bin.c_str(), 0755);
    std::ofstream(bin + "/whereis") << "#!/bin/sh\n[ \"$1\" = '" + missing +
                                           "' ] && echo \"$1:\" || exec /usr/bin/whereis \"$@\"\n";
    chmod((bin + "/whereis").c_str(), 0755);
    return bin;
  }

  // Runs the agent to its end with `pathPrefix` in front of PATH.
  ProgramResult runAgent(const std::string& pathPrefix = "/usr/bin") {
    // Both paths as arguments, never as shell text: a checkout's path may hold blanks.
    return runProgram({"/bin/bash", "-c", "PATH=\"$1:$PATH\" exec \"$0\"", KADREL_AGENT_BINARY, pathPrefix},
                      dir_, 20000);
  }
};

TEST_F(StartupTest, FailuresBeforeListeningEndTheAgent) {
  const std::string port = "listenport=" + std::to_string(port_) + "\n";
  const std::string good = "serverid=a\npassphrase=b\ndebug=alwayson\n" + port;
  const struct {
    const char* what;
    std::string config;  // kadrel.ini, none when empty
    const char* missingProgram;
    int status;
    const char* err;
  } cases[] = {
      {"missing file", "", "", 1, "Couldn't read the config file\n"},
      {"line without '='", good + "junk\n", "", 1,
       "There was an error loading the config. Error: Field is empty\n"},
      {"no serverid", "passphrase=b\ndebug=alwayson\n" + port, "", 1,
       "Error loading configuration. A setting wasn't loaded\n"},
      {"no screen", good, "screen", 0, "\nError: The 'screen' program is missing\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unlink((dir_ + "/kadrel.ini").c_str());
    if (!c.config.empty()) writeRawConfig(c.config);
    ProgramResult r = runAgent(fakeWhereis(c.missingProgram));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(portListening(port_));
  }
}

TEST_F(StartupTest, ForegroundModeLogsToStandardOutputAndChecksHostPrograms) {
  const struct {
    const char* what;
    const char* config;  // extra kadrel.ini lines
    const char* missingProgram;
    const char* err;
    bool sha;  // "- with shar passwords" is announced
  } cases[] = {
      {"plain", "", "", "", false},
      {"sha passwords", "is_sha5=TRUE\n", "", "", true},  // "true" in any letter case
      {"sha passwords, no mkpasswd", "is_sha5=TRUE\n", "mkpasswd",
       "\nError: The 'mkpasswd' program is missing\n", true},
      {"not sha passwords", "is_sha5=yes\n", "mkpasswd", "", false},  // mkpasswd is not looked for
      {"no tar", "", "tar", "\nError: The 'tar' program is missing\n", false},
  };
  port_ = 240;  // the port without "listenport="
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    stopAgent();
    writeRawConfig("serverid=" + sid_ + "\npassphrase=" + pass_ + "\ndebug=alwayson\n" + c.config);
    agentEnv_ = {"PATH=" + fakeWhereis(c.missingProgram) + ":" +
                 (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")};
    startAgent();
    EXPECT_EQ(versionWithin(), KADREL_VERSION "\r\n");
    EXPECT_EQ(processesIn(dir_), std::vector<pid_t>{pid_}) << "the listener is the started process itself";
    ASSERT_TRUE(waitForLogLine("Thread stopped"));
    std::vector<std::string> lines = logLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Kadrel-Remote Started");
    EXPECT_EQ(lines[1], c.sha ? "- with shar passwords" : "Connection started");
    EXPECT_EQ(agentStderr(), c.err);
    EXPECT_NE(access((dir_ + "/debug.txt").c_str(), F_OK), 0) << "no debug.txt in the foreground";
  }
}

TEST_F(StartupTest, DetachesOnceListeningAndLogsToDebugFileOnlyWithDebugOn) {
  for (const bool on : {false, true}) {
    SCOPED_TRACE(on ? "debug=on" : "debug=off");
    port_ = freePort();
    writeConfig("", on ? "on" : "off");
    // No system logger runs in the sandbox: what the daemon sends to the console lands here.
    const std::string console = dir_ + "/console";
    shell("touch '" + console + "' && mount --bind '" + console + "' /dev/console");
    ProgramResult r = runAgent();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(portListening(port_)) << "the started process returns only once the daemon listens";
    std::vector<pid_t> left = processesIn(dir_);
    ASSERT_EQ(left.size(), 1u) << "exactly the daemon should remain";
    const std::string proc = "/proc/" + std::to_string(left[0]), stat = readWholeFile(proc + "/stat");
    long sid = 0;
    sscanf(stat.c_str() + stat.rfind(')') + 2, "%*c %*d %*d %ld", &sid);
    EXPECT_NE(sid, static_cast<long>(getsid(0))) << "the daemon must leave the starter's session";
    EXPECT_NE(sid, static_cast<long>(left[0])) << "a session leader could regain a terminal";
    EXPECT_EQ(shell("cd " + proc + "/fd && readlink 0 1 2"), "/dev/null\n/dev/null\n/dev/null\n");

    EXPECT_EQ(versionWithin(), KADREL_VERSION "\r\n");
    const std::string debugFile = dir_ + "/debug.txt";
    // The log names the size of the reply: the version's length.
    const std::string expected = on ? "Kadrel-Remote Started\nConnection started\nProcess Call: " +
                                          std::to_string(sizeof KADREL_VERSION - 1) +
                                          " bytes\nSocket Closed\nThread stopped\n"
                                    : "";
    EXPECT_TRUE(waitUntil([&] { return readWholeFile(debugFile) == expected; })) << readWholeFile(debugFile);
    EXPECT_EQ(access(debugFile.c_str(), F_OK), 0) << "debug.txt is created";
    EXPECT_EQ(readWholeFile(console), "") << "audit lines have no place on the console";
    kill(left[0], SIGKILL);
    shell("umount /dev/console");
    ASSERT_TRUE(waitUntil([&] { return processesIn(dir_).empty(); }));
    unlink(debugFile.c_str());
  }
}

// Once detached, standard error is /dev/null: a command that cannot start under a descriptor
// shortage must leave its reason in the debug file the configuration chose, which only root
// may read although the daemon clears its file-creation mask.
TEST_F(StartupTest, DetachedDaemonLogsAChildThatCannotStartToItsPrivateDebugFile) {
  port_ = freePort();
  writeConfig("", "on");
  ASSERT_EQ(runAgent().status, 0);
  std::vector<pid_t> left = processesIn(dir_);
  ASSERT_EQ(left.size(), 1u);
  const std::string debugFile = dir_ + "/debug.txt";
  struct stat st;
  ASSERT_EQ(stat(debugFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 0u);

  // Room for the connection's socket and nothing more: the command's pipe cannot be made.
  std::istringstream fds(shell("ls /proc/" + std::to_string(left[0]) + "/fd"));
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
  EXPECT_EQ(r.err, "");

  writeConfig("", "off");
  r = runAgent();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: Could not bind to port.\n");
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(waitUntil([&] { return processesIn(dir_) == std::vector<pid_t>{pid_}; }, 10000))
      << "the daemon must end when it cannot listen";
}
