// Integration fixture: each test gets a fresh start directory with its own kadrel.ini, a free
// port, and the real kadrel-remote binary started in the foreground ("alwayson") with its
// standard output and error captured to files. Runs only inside tests/sandbox.
#ifndef KADREL_TESTS_AGENTFIXTURE_H
#define KADREL_TESTS_AGENTFIXTURE_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/PanelClient.h"
#include "exec/ShellLine.h"

struct ProgramResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// Runs argv[0] (a path) with `argv` in `cwd` and standard input from `in`, waits at most
// `timeoutMs`, captures its output.
ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& cwd, int timeoutMs = 60000,
                         const std::string& in = "/dev/null");
// Runs a shell line as root and returns its standard output.
std::string shell(const std::string& line);
std::string readWholeFile(const std::string& path);
// True when `path` names anything, a dangling link included.
bool pathExists(const std::string& path);
bool processAlive(pid_t pid);
// Asks `done` every 10 ms until it says true (then true) or `timeoutMs` passed (then false).
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 20000);
// True when something listens on `port` over IPv4.
bool portListening(int port);
// Creates the account `name` with a home directory under /home (once per sandbox).
void ensureAccount(const std::string& name, const std::string& extraUseraddArgs = "");
// The process id a command wrote into `file` (once the line is complete); 0 when none came.
pid_t pidFromFile(const std::string& file);
// Certificates made with openssl once per test program: two CAs ("ca" and "other"), the agent's
// for 127.0.0.1 and a panel's, both signed by "ca", and a stranger's signed by "other"; "locked" is
// the agent's key encrypted. The files of NAME's certificate and of its key.
std::string certFile(const std::string& name);
std::string keyFile(const std::string& name);

// Threads of an agent that serves no connection (once its finished workers stopped waiting):
// the listener, plus the thread sanitizer's own background thread in a thread-sanitized build.
#ifdef __SANITIZE_THREAD__
const long kIdleAgentThreads = 2;
#else
const long kIdleAgentThreads = 1;
#endif

class AgentFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // kadrel.ini with this fixture's serverid, passphrase and port, debug=alwayson, no metrics
  // file (the host's node_exporter directory is not the test's), and `extra` lines. Finished worker threads
  // wait only a second for the next connection, so that a count of the agent's threads soon shows a thread
  // that never ended.
  void writeConfig(const std::string& extra = "");
  // Starts the agent in the foreground, with agentEnv_, agentGroups_, agentStdin_ and agentStdout_, and
  // waits until it listens.
  void startAgent();
  // writeConfig(extra), then startAgent (ending a running agent first).
  void restartAgent(const std::string& extra = "");
  // Ends the agent (SIGTERM, then SIGKILL) and reaps it.
  void stopAgent();
  bool agentRunning();

  std::string agentStderr() const { return readWholeFile(dir_ + "/agent.err"); }
  // Whether `text` was logged, as an ordinary line or as a warning.
  bool logged(const std::string& text) const {
    return (readWholeFile(dir_ + "/agent.out") + agentStderr()).find(text) != std::string::npos;
  }
  bool waitForLog(const std::string& text, int timeoutMs = 20000) const {
    return waitUntil([&] { return logged(text); }, timeoutMs);
  }
  // A number from the agent's /proc status ("VmRSS:", "VmHWM:", "Threads:"); -1 when absent.
  long agentStatus(const std::string& field) const;
  size_t agentDescriptors() const;
  // The ids of the agent's child processes, of all its threads.
  std::string agentChildren() const {
    return shell("cat /proc/" + std::to_string(pid_) + "/task/*/children");
  }
  // Waits until the agent holds no more threads, descriptors and children than `fds` when idle.
  void expectIdle(size_t fds);

  // A client with an authenticated session: the handshake, then each of "cmd_user:",
  // "cmd_return:" and "cmd_close:" that is not empty. On failure the test fails and the client
  // returned is closed.
  std::unique_ptr<PanelClient> openSession(const std::string& user, const std::string& ret,
                                           const std::string& close, int timeoutMs = 20000);
  // A session as `user` that wants a reply (when `replyFlag` says so) and a close, then the instruction.
  std::unique_ptr<PanelClient> sendInstruction(const std::string& instruction,
                                               const std::string& user = "root",
                                               const std::string& replyFlag = "yes", int timeoutMs = 120000);
  // sendInstruction, then everything the agent sends until it closes, which it must do
  // within `timeoutMs`: a broken agent fails the test instead of hanging it.
  std::string runInstruction(const std::string& instruction, const std::string& user = "root",
                             const std::string& replyFlag = "yes", int timeoutMs = 120000);
  // runInstruction with a reply wanted, without the CR LF that ends the reply.
  std::string replyText(const std::string& instruction, const std::string& user = "root");

  std::string dir_;  // the start directory
  int port_ = 0;
  pid_t pid_ = -1;
  std::string sid_ = "Server-7";
  std::string pass_ = "Open-Sesame-42";
  std::vector<std::string> agentEnv_;     // "NAME=value" entries added to the agent's environment
  std::vector<gid_t> agentGroups_;        // when not empty, the agent's supplementary groups
  std::string agentStdin_ = "/dev/null";  // the file the agent's standard input reads
  std::string agentStdout_;               // when set, the file its standard output writes (not agent.out)
  TlsClientContext clientTls_;            // when set, the fixture's clients speak TLS with it
  std::vector<pid_t> leftovers_;          // processes the test started through the agent
};

#endif
