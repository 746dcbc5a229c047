// Start-up: configuration failures, host-program check, foreground and detached modes, the
// listening port.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "AgentFixture.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool fileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string linkTarget(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

// Processes whose working directory is `dir`: the agent and anything it left behind.
std::vector<pid_t> processesIn(const std::string& dir) {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (!proc) return pids;
  while (dirent* e = readdir(proc)) {
    char* end;
    long pid = strtol(e->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    if (linkTarget("/proc/" + std::string(e->d_name) + "/cwd") == dir) pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  return pids;
}

// Waits until no process works in `dir` any more; false after `timeoutMs`.
bool waitNoProcessIn(const std::string& dir, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!processesIn(dir).empty()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Parent and session of `pid`, from /proc/PID/stat.
void parentAndSession(pid_t pid, long& ppid, long& sid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  char state;
  long pgrp;
  rest >> state >> ppid >> pgrp >> sid;
}

// Puts `dir` in front of PATH for as long as it lives; children forked meanwhile inherit it.
class PathPrefix {
 public:
  explicit PathPrefix(const std::string& dir) : old_(getenv("PATH") ? getenv("PATH") : "") {
    setenv("PATH", (dir + ":" + old_).c_str(), 1);
  }
  ~PathPrefix() { setenv("PATH", old_.c_str(), 1); }

 private:
  std::string old_;
};

}  // namespace

class StartupTest : public AgentFixture {
 protected:
  void TearDown() override {
    // Detached daemons are not our children: end each one by its process id.
    stopAgent();
    for (pid_t pid : processesIn(dir_)) kill(pid, SIGKILL);
    EXPECT_TRUE(waitNoProcessIn(dir_, 10000)) << "a daemon survived SIGKILL";
    AgentFixture::TearDown();
  }

  // A `whereis` that reports each of `missing` as not found and asks the real one otherwise.
  std::string fakeWhereis(const std::string& missing) {
    const std::string bin = dir_ + "/fakebin";
    mkdir(bin.c_str(), 0755);
    std::ofstream script(bin + "/whereis");
    script << "#!/bin/sh\nfor m in " << missing << "; do\n"
           << "  if [ \"$1\" = \"$m\" ]; then echo \"$1:\"; exit 0; fi\ndone\n"
           << "exec /usr/bin/whereis \"$@\"\n";
    script.close();
    chmod((bin + "/whereis").c_str(), 0755);
    return bin;
  }

  // Runs the agent to its end with `pathPrefix` in front of PATH.
  ProgramResult runAgent(const std::string& pathPrefix = "", int timeoutMs = 20000) {
    if (pathPrefix.empty()) return runProgram({KADREL_AGENT_BINARY}, dir_, timeoutMs);
    return runProgram({"/bin/bash", "-c", "PATH=" + pathPrefix + ":$PATH exec " KADREL_AGENT_BINARY}, dir_,
                      timeoutMs);
  }

  // The only process left in the start directory after a detaching start: the daemon.
  pid_t theDaemon() {
    std::vector<pid_t> pids = processesIn(dir_);
    EXPECT_EQ(pids.size(), 1u) << "exactly the daemon should remain after detaching";
    return pids.empty() ? -1 : pids[0];
  }
};

struct BadConfig {
  const char* what;
  std::string content;  // kadrel.ini, or nothing at all when null
  bool present;
  const char* message;
};

TEST_F(StartupTest, ConfigurationFailuresEndTheAgentBeforeItListens) {
  const std::string port = "listenport=" + std::to_string(port_) + "\n";
  const BadConfig cases[] = {
      {"missing file", "", false, "Couldn't read the config file"},
      {"line without '='", "serverid=a\npassphrase=b\ndebug=alwayson\n" + port + "junk\n", true,
       "There was an error loading the config. Error: Field is empty\n"},
      {"no serverid", "passphrase=b\ndebug=alwayson\n" + port, true,
       "Error loading configuration. A setting wasn't loaded\n"},
  };
  for (const BadConfig& c : cases) {
    SCOPED_TRACE(c.what);
    unlink((dir_ + "/kadrel.ini").c_str());
    if (c.present) writeRawConfig(c.content);
    ProgramResult r = runAgent();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(portListening(port_));
  }
}

TEST_F(StartupTest, ForegroundModeLogsToStandardOutputAndCreatesNoDebugFile) {
  startAgent();
  EXPECT_EQ(versionWithin(), "2.0.0.0\r\n");
  // The listener is the started process itself, not a detached copy.
  EXPECT_EQ(processesIn(dir_), std::vector<pid_t>{pid_});
  EXPECT_TRUE(agentRunning());
  ASSERT_TRUE(waitForLogLine("Thread stopped"));
  std::vector<std::string> lines = logLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Kadrel-Remote Started");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "- with shar passwords"), 0);
  EXPECT_FALSE(fileExists(dir_ + "/debug.txt"));
  EXPECT_EQ(agentStderr(), "");
}

TEST_F(StartupTest, ShaPasswordModeIsAnnouncedAndChecksMkpasswd) {
  // Only "true", in any letter case, selects the mode.
  writeConfig("is_sha5=TRUE\n");
  startAgent();
  ASSERT_TRUE(waitForLogLine("- with shar passwords"));
  EXPECT_EQ(logLines(), (std::vector<std::string>{"Kadrel-Remote Started", "- with shar passwords"}));
  EXPECT_EQ(agentStderr(), "") << "mkpasswd is installed";
  stopAgent();

  const std::string fake = fakeWhereis("mkpasswd");
  {
    PathPrefix path(fake);
    startAgent();
  }
  EXPECT_EQ(agentStderr(), "\nError: The 'mkpasswd' program is missing");
  EXPECT_EQ(versionWithin(), "2.0.0.0\r\n");
  stopAgent();

  writeConfig("is_sha5=yes\n");
  {
    PathPrefix path(fake);
    startAgent();
  }
  EXPECT_EQ(versionWithin(), "2.0.0.0\r\n");
  EXPECT_EQ(agentStderr(), "") << "without the mode mkpasswd is not looked for";
  std::vector<std::string> lines = logLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Kadrel-Remote Started");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "- with shar passwords"), 0);
}

TEST_F(StartupTest, MissingScreenEndsTheAgentWithStatusZero) {
  ProgramResult r = runAgent(fakeWhereis("screen"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "\nError: The 'screen' program is missing");
  EXPECT_EQ(r.out, "") << "the agent must end before it starts listening";
  EXPECT_FALSE(portListening(port_));
}

TEST_F(StartupTest, MissingTarOnlyWarns) {
  {
    PathPrefix path(fakeWhereis("tar"));
    startAgent();
  }
  EXPECT_EQ(agentStderr(), "\nError: The 'tar' program is missing");
  EXPECT_EQ(versionWithin(), "2.0.0.0\r\n");
  EXPECT_TRUE(waitForLogLine("Kadrel-Remote Started"));
}

TEST_F(StartupTest, DetachesWithDebugOffAndLogsNothing) {
  writeConfig("", "off");
  ProgramResult r = runAgent();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  // The started process returns only once the daemon listens.
  EXPECT_TRUE(portListening(port_));
  pid_t daemon = theDaemon();
  ASSERT_GT(daemon, 0);

  long ppid = 0, sid = 0;
  parentAndSession(daemon, ppid, sid);
  EXPECT_NE(ppid, static_cast<long>(getpid()));
  EXPECT_NE(sid, static_cast<long>(getsid(0))) << "the daemon must leave the starter's session";
  EXPECT_NE(sid, static_cast<long>(daemon)) << "a session leader could regain a terminal";
  for (int fd = 0; fd <= 2; ++fd)
    EXPECT_EQ(linkTarget("/proc/" + std::to_string(daemon) + "/fd/" + std::to_string(fd)), "/dev/null")
        << "descriptor " << fd;

  EXPECT_EQ(versionWithin(), "2.0.0.0\r\n");
  EXPECT_TRUE(fileExists(dir_ + "/debug.txt"));
  EXPECT_EQ(readFile(dir_ + "/debug.txt"), "");
}

TEST_F(StartupTest, DetachesWithDebugOnAndLogsToDebugFile) {
  writeConfig("", "on");
  ProgramResult r = runAgent();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(portListening(port_));
  ASSERT_GT(theDaemon(), 0);

  EXPECT_EQ(versionWithin(), "2.0.0.0\r\n");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::string log;
  while ((log = readFile(dir_ + "/debug.txt")).find("Thread stopped\n") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(log.rfind("Kadrel-Remote Started\nConnection started\n", 0), 0u) << log;
  EXPECT_NE(log.find("\nProcess Call: 2.0.0.0\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\nThread stopped\n"), std::string::npos) << log;
}

class PortBlocker {
 public:
  explicit PortBlocker(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, 1) == 0;
  }
  ~PortBlocker() { close(fd_); }
  bool ok() const { return ok_; }

 private:
  int fd_;
  bool ok_ = false;
};

TEST_F(StartupTest, PortInUseFailsTheDetachingStart) {
  PortBlocker blocker(port_);
  ASSERT_TRUE(blocker.ok());
  writeConfig("", "off");
  ProgramResult r = runAgent();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: Could not bind to port.\n");
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(waitNoProcessIn(dir_, 10000)) << "the daemon must end when it cannot listen";
}

TEST_F(StartupTest, PortInUseInTheForegroundIsLoggedAndEndsWithStatusZero) {
  PortBlocker blocker(port_);
  ASSERT_TRUE(blocker.ok());
  ProgramResult r = runAgent();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Kadrel-Remote Started\nError: Could not bind to port.\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(StartupTest, ListensOnPort240WithoutListenport) {
  if (portListening(240)) GTEST_SKIP() << "port 240 is taken here";
  port_ = 240;
  writeRawConfig("serverid=" + sid_ + "\npassphrase=" + pass_ + "\ndebug=alwayson\n");
  startAgent();
  EXPECT_EQ(versionWithin(), "2.0.0.0\r\n");
}
