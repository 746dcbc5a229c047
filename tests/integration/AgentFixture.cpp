// The integration fixture.
#include "AgentFixture.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

static std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& cwd, int timeoutMs) {
  ProgramResult result;
  char outPath[] = "/tmp/kadrel-prog-out.XXXXXX";
  char errPath[] = "/tmp/kadrel-prog-err.XXXXXX";
  int outFd = mkstemp(outPath);
  int errFd = mkstemp(errPath);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outFd, 1);
    dup2(errFd, 2);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(outFd);
  close(errFd);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = readWholeFile(outPath);
  result.err = readWholeFile(errPath);
  unlink(outPath);
  unlink(errPath);
  return result;
}

int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

bool portListening(int port) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  char wanted[8];
  snprintf(wanted, sizeof wanted, ":%04X", port);
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) return true;
  }
  return false;
}

std::string shell(const std::string& line) {
  return runProgram({"/bin/bash", "-c", line}, "").out;
}

void ensureAccount(const std::string& name, const std::string& extraUseraddArgs) {
  if (runProgram({"/usr/bin/id", name}, "").status == 0) return;
  ProgramResult r = runProgram({"/bin/bash", "-c", "/usr/sbin/useradd -m " + extraUseraddArgs + " " + name}, "");
  ASSERT_EQ(r.status, 0) << "useradd " << name << ": " << r.err;
}

void AgentFixture::SetUp() {
  ASSERT_STREQ(getenv("KADREL_SANDBOX_INSIDE"), "1")
      << "integration tests change accounts and /home: run them through tests/sandbox";
  char tmpl[] = "/tmp/kadrel-start.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  chmod(dir_.c_str(), 0755);
  port_ = freePort();
  writeConfig();
}

void AgentFixture::TearDown() {
  stopAgent();
  if (!dir_.empty()) runProgram({"/bin/rm", "-rf", dir_}, "");
}

void AgentFixture::writeConfig(const std::string& extra, const std::string& debugValue) {
  writeRawConfig("serverid=" + sid_ + "\npassphrase=" + pass_ + "\ndebug=" + debugValue +
                 "\nlistenport=" + std::to_string(port_) + "\n" + extra);
}

void AgentFixture::writeRawConfig(const std::string& content) {
  std::ofstream out(dir_ + "/kadrel.ini", std::ios::binary | std::ios::trunc);
  out << content;
}

void AgentFixture::startAgent() {
  pid_ = fork();
  if (pid_ == 0) {
    int out = open((dir_ + "/agent.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open((dir_ + "/agent.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (chdir(dir_.c_str()) != 0) _exit(126);
    execl(KADREL_AGENT_BINARY, "kadrel-remote", static_cast<char*>(nullptr));
    _exit(127);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!portListening(port_)) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      FAIL() << "the agent ended before listening: " << agentStdout() << agentStderr();
    }
    if (std::chrono::steady_clock::now() > deadline) FAIL() << "the agent did not listen on " << port_;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool AgentFixture::agentRunning() {
  if (pid_ <= 0) return false;
  int status;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void AgentFixture::stopAgent() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int status;
  while (waitpid(pid_, &status, WNOHANG) != pid_) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
}

std::string AgentFixture::agentStdout() const { return readWholeFile(dir_ + "/agent.out"); }
std::string AgentFixture::agentStderr() const { return readWholeFile(dir_ + "/agent.err"); }

std::vector<std::string> AgentFixture::logLines() const {
  std::vector<std::string> lines;
  std::istringstream in(agentStdout());
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool AgentFixture::waitForLogLine(const std::string& line, int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (const std::string& l : logLines())
      if (l == line) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::unique_ptr<PanelClient> AgentFixture::connectClient() {
  auto client = std::make_unique<PanelClient>();
  std::string error;
  EXPECT_TRUE(client->connect("127.0.0.1", port_, &error)) << error;
  return client;
}

std::unique_ptr<PanelClient> AgentFixture::authenticatedClient() {
  auto client = connectClient();
  std::string failure;
  EXPECT_TRUE(client->handshake(sid_, pass_, &failure)) << failure;
  return client;
}

std::string AgentFixture::runInstruction(const std::string& instruction, const std::string& user, bool wantReply) {
  auto client = authenticatedClient();
  std::string reply;
  EXPECT_TRUE(client->request("cmd_user: " + user, reply));
  EXPECT_EQ(reply, "User received");
  EXPECT_TRUE(client->request(std::string("cmd_return: ") + (wantReply ? "yes" : "no"), reply));
  EXPECT_EQ(reply, "Return received");
  EXPECT_TRUE(client->request("cmd_close: yes", reply));
  EXPECT_EQ(reply, "Close received");
  EXPECT_TRUE(client->sendFrame("cmd_exec: " + instruction));
  return client->readUntilClose(120000);
}

std::string AgentFixture::versionWithin(int timeoutMs) {
  auto client = connectClient();
  std::string reply;
  for (const char* step : {"SID", "Passphrase", "cmd_return: yes", "cmd_close: yes"}) {
    std::string payload = step;
    if (payload == "SID") payload += " " + sid_;
    if (payload == "Passphrase") payload += " " + pass_;
    if (!client->request(payload, reply, timeoutMs)) {
      ADD_FAILURE() << "no reply to " << step << " within " << timeoutMs << " ms: " << reply;
      return std::string();
    }
  }
  EXPECT_TRUE(client->sendFrame("cmd_exec: version"));
  return client->readUntilClose(timeoutMs);
}
