// The integration fixture.
#include "AgentFixture.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

std::string readWholeFile(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

bool pathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool processAlive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Starts argv[0] (a path) in `cwd` with standard input from the file `in` and output and error
// written to the files `out` and `err`, `env` added to its environment, and `groups` (when not
// empty) as its supplementary groups.
static pid_t spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::string& in,
                   const std::string& out, const std::string& err, std::vector<std::string> env = {},
                   const std::vector<gid_t>& groups = {}) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(open(in.c_str(), O_RDONLY), 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    for (std::string& entry : env) putenv(&entry[0]);
    if ((groups.empty() || setgroups(groups.size(), groups.data()) == 0) &&
        (cwd.empty() || chdir(cwd.c_str()) == 0))
      execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// Waits at most `timeoutMs` for `pid` to end, then kills it; returns its wait status.
static int reapWithin(pid_t pid, int timeoutMs) {
  int status = 0;
  if (!waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return status;
}

ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& cwd, int timeoutMs,
                         const std::string& in) {
  char tmp[] = "/tmp/kadrel-program.XXXXXX";
  const std::string out = mkdtemp(tmp) + std::string("/out"), err = tmp + std::string("/err");
  const int status = reapWithin(spawn(argv, cwd, in, out, err), timeoutMs);
  ProgramResult result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readWholeFile(out),
                       readWholeFile(err)};
  std::filesystem::remove_all(tmp);
  return result;
}

std::string shell(const std::string& line) { return runProgram({"/bin/bash", "-c", line}, "").out; }

bool portListening(int port) { return !shell("ss -Hltn4 'sport = :" + std::to_string(port) + "'").empty(); }

void ensureAccount(const std::string& name, const std::string& extraUseraddArgs) {
  if (runProgram({"/usr/bin/id", name}, "").status == 0) return;
  ProgramResult r =
      runProgram({"/bin/bash", "-c", "/usr/sbin/useradd -m " + extraUseraddArgs + " " + name}, "");
  ASSERT_EQ(r.status, 0) << "useradd " << name << ": " << r.err;
}

pid_t pidFromFile(const std::string& file) {
  waitUntil([&] { return readWholeFile(file).find('\n') != std::string::npos; }, 30000);
  return static_cast<pid_t>(atoi(readWholeFile(file).c_str()));
}

// Made once per test program, in the /tmp of its sandbox.
static std::string certificates() {
  static const ProgramResult made =
      runProgram({"/bin/bash", "-ec",
                  "mkdir -p /tmp/certs; cd /tmp/certs\n"
                  "key='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2'\n"
                  "leaf='-addext subjectAltName=IP:127.0.0.1 -addext basicConstraints=CA:FALSE'\n"
                  "make() { openssl req -x509 $key -keyout $1.key -out $1.pem -subj /CN=$1 \\\n"
                  "  ${2:+-CA $2.pem -CAkey $2.key $leaf}; }\n"
                  "make ca; make other; make agent ca; make panel ca; make stranger other\n"
                  "openssl pkey -in agent.key -aes256 -passout pass:x -out locked.key"},
                 "");
  EXPECT_EQ(made.status, 0) << made.err;
  return "/tmp/certs";
}

std::string certFile(const std::string& name) { return certificates() + "/" + name + ".pem"; }
std::string keyFile(const std::string& name) { return certificates() + "/" + name + ".key"; }

void AgentFixture::SetUp() {
  ASSERT_STREQ(getenv("KADREL_SANDBOX_INSIDE"), "1")
      << "integration tests change accounts and /home: run them through tests/sandbox";
  char tmpl[] = "/tmp/kadrel-start.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  chmod(dir_.c_str(), 0755);
  // The sandbox's network namespace is this process's own: a port it has not handed out is free.
  static int nextPort = 20000;
  port_ = nextPort++;
  writeConfig();
}

// In a sanitized build the agent writes any report to its standard error: the test fails.
void AgentFixture::TearDown() {
  stopAgent();
  for (pid_t pid : leftovers_)
    if (pid > 0) kill(pid, SIGKILL);
  if (dir_.empty()) return;
  const std::string err = agentStderr();
  for (const char* mark : {"Sanitizer", "runtime error:"})
    EXPECT_EQ(err.find(mark), std::string::npos) << "the agent reported:\n" << err;
  runProgram({"/bin/rm", "-rf", dir_}, "");
}

void AgentFixture::writeConfig(const std::string& extra) {
  std::ofstream(dir_ + "/kadrel.ini") << "serverid=" + sid_ + "\npassphrase=" + pass_ +
                                             "\ndebug=alwayson\nlistenport=" + std::to_string(port_) +
                                             "\nworker_idle_seconds=1\nmetrics_file=off\n" + extra;
}

void AgentFixture::startAgent() {
  pid_ = spawn({KADREL_AGENT_BINARY}, dir_, agentStdin_,
               agentStdout_.empty() ? dir_ + "/agent.out" : agentStdout_, dir_ + "/agent.err", agentEnv_,
               agentGroups_);
  bool ended = false;
  waitUntil([&] { return portListening(port_) || (ended = !agentRunning()); });
  if (!portListening(port_))
    FAIL() << (ended ? "the agent ended before listening: " : "the agent did not listen: ")
           << readWholeFile(dir_ + "/agent.out") << agentStderr();
}

void AgentFixture::restartAgent(const std::string& extra) {
  stopAgent();
  writeConfig(extra);
  startAgent();
}

bool AgentFixture::agentRunning() {
  int status;
  if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
  return pid_ > 0;
}

void AgentFixture::stopAgent() {
  if (pid_ > 0 && kill(pid_, SIGTERM) == 0) reapWithin(pid_, 10000);
  pid_ = -1;
}

long AgentFixture::agentStatus(const std::string& field) const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, field.size(), field) == 0) return atol(line.c_str() + field.size());
  return -1;
}

size_t AgentFixture::agentDescriptors() const {
  return std::stoul(shell("ls /proc/" + std::to_string(pid_) + "/fd | wc -l"));
}

void AgentFixture::expectIdle(size_t fds) {
  const auto idle = [&] {
    return agentDescriptors() == fds && agentStatus("Threads:") == kIdleAgentThreads &&
           agentChildren().empty();
  };
  EXPECT_TRUE(waitUntil(idle, 60000))
      << "left behind: " << agentDescriptors() << " descriptors (idle " << fds << "), "
      << agentStatus("Threads:") << " threads, children " << agentChildren();
}

std::unique_ptr<PanelClient> AgentFixture::openSession(const std::string& user, const std::string& ret,
                                                       const std::string& close, int timeoutMs) {
  auto client = std::make_unique<PanelClient>();
  client->useTls(clientTls_);
  std::string failure;
  if (!client->openSession("127.0.0.1", port_, {sid_, pass_, user, ret, close}, &failure, timeoutMs))
    ADD_FAILURE() << failure << " (each answer awaited " << timeoutMs << " ms)";
  return client;
}

std::unique_ptr<PanelClient> AgentFixture::sendInstruction(const std::string& instruction,
                                                           const std::string& user,
                                                           const std::string& replyFlag, int timeoutMs) {
  auto client = openSession(user, replyFlag, "yes", timeoutMs);
  EXPECT_TRUE(!client->connected() || client->sendFrame("cmd_exec: " + instruction));
  return client;
}

std::string AgentFixture::runInstruction(const std::string& instruction, const std::string& user,
                                         const std::string& replyFlag, int timeoutMs) {
  std::string got;
  EXPECT_TRUE(sendInstruction(instruction, user, replyFlag, timeoutMs)->waitClosed(timeoutMs, &got))
      << "the connection stayed open after " << instruction.substr(0, 120);
  return got;
}

std::string AgentFixture::replyText(const std::string& instruction, const std::string& user) {
  std::string got = runInstruction(instruction, user);
  if (got.size() >= 2 && got.compare(got.size() - 2, 2, "\r\n") == 0) got.resize(got.size() - 2);
  return got;
}
