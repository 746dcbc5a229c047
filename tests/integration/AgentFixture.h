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

struct ProgramResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// Runs argv[0] (a path) with `argv` in `cwd`, waits at most `timeoutMs`, captures its output.
ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& cwd, int timeoutMs = 60000);
// Runs a shell line as root and returns its standard output.
std::string shell(const std::string& line);
std::string readWholeFile(const std::string& path);
// True when `path` names anything, a dangling link included.
bool pathExists(const std::string& path);
// Asks `done` every 10 ms until it says true (then true) or `timeoutMs` passed (then false).
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 20000);
// A TCP port nobody listens on.
int freePort();
// True when something listens on `port` over IPv4 (read from /proc/net/tcp).
bool portListening(int port);
// Creates the account `name` with a home directory under /home (once per sandbox).
void ensureAccount(const std::string& name, const std::string& extraUseraddArgs = "");

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
  void TearDown() override {
    stopAgent();
    expectNoSanitizerReport();
    if (!dir_.empty()) runProgram({"/bin/rm", "-rf", dir_}, "");
  }
  // In a sanitized build the agent writes any report to its standard error: the test fails.
  void expectNoSanitizerReport() const;

  // kadrel.ini with this fixture's serverid, passphrase, port and `debugValue`, plus `extra`
  // lines. Call before startAgent to change the defaults. Finished worker threads wait only a
  // second for the next connection, so that a count of the agent's threads soon shows a thread
  // that never ended.
  void writeConfig(const std::string& extra = "", const std::string& debugValue = "alwayson") {
    writeRawConfig("serverid=" + sid_ + "\npassphrase=" + pass_ + "\ndebug=" + debugValue +
                   "\nlistenport=" + std::to_string(port_) + "\nworker_idle_seconds=1\n" + extra);
  }
  // Writes `content` as kadrel.ini, exactly.
  void writeRawConfig(const std::string& content);

  // Starts the agent in the foreground, with agentEnv_ and agentGroups_, and waits until it listens.
  void startAgent();
  // Ends the agent (SIGTERM, then SIGKILL) and reaps it.
  void stopAgent();
  bool agentRunning();

  std::string agentStdout() const { return readWholeFile(dir_ + "/agent.out"); }
  std::string agentStderr() const { return readWholeFile(dir_ + "/agent.err"); }
  // A number from the agent's /proc status ("VmRSS:", "VmHWM:", "Threads:"); -1 when absent.
  long agentStatusKiB(const std::string& field) const;
  // The ids of the agent's child processes, of all its threads.
  std::string agentChildren() const {
    return shell("cat /proc/" + std::to_string(pid_) + "/task/*/children");
  }

  // The ordinary log lines written so far, one element per line.
  std::vector<std::string> logLines() const;
  // Waits until `line` is one of the log lines; false after `timeoutMs`.
  bool waitForLogLine(const std::string& line, int timeoutMs = 20000) const {
    return waitUntil([&] { return ("\n" + agentStdout()).find("\n" + line + "\n") != std::string::npos; },
                     timeoutMs);
  }

  // A connected client, not yet authenticated.
  std::unique_ptr<PanelClient> connectClient();
  // A client with an authenticated session: the handshake, then each of "cmd_user:",
  // "cmd_return:" and "cmd_close:" that is not empty, each answered within `timeoutMs`. On
  // failure the test fails and the client returned is closed.
  std::unique_ptr<PanelClient> openSession(const std::string& user, const std::string& ret,
                                           const std::string& close, int timeoutMs = 20000);
  // On a fresh connection: handshake, "cmd_user:", "cmd_return:", "cmd_close: yes",
  // each answered within `timeoutMs`, then the instruction. Returns the connection.
  std::unique_ptr<PanelClient> sendInstruction(const std::string& instruction,
                                               const std::string& user = "root",
                                               const std::string& replyFlag = "yes", int timeoutMs = 120000);
  // sendInstruction, then everything the agent sends until it closes, which it must do
  // within `timeoutMs`: a broken agent fails the test instead of hanging it.
  std::string runInstruction(const std::string& instruction, const std::string& user = "root",
                             const std::string& replyFlag = "yes", int timeoutMs = 120000);
  // runInstruction with a reply wanted, without the CR LF that ends the reply.
  std::string replyText(const std::string& instruction, const std::string& user = "root") {
    std::string got = runInstruction(instruction, user);
    if (got.size() >= 2 && got.compare(got.size() - 2, 2, "\r\n") == 0) got.resize(got.size() - 2);
    return got;
  }
  std::string versionWithin(int timeoutMs = 20000) {
    return runInstruction("version", "root", "yes", timeoutMs);
  }

  std::string dir_;  // the start directory
  int port_ = 0;
  pid_t pid_ = -1;
  std::string sid_ = "Server-7";
  std::string pass_ = "Open-Sesame-42";
  std::vector<std::string> agentEnv_;     // "NAME=value" entries added to the agent's environment
  std::vector<gid_t> agentGroups_;        // when not empty, the agent's supplementary groups
  std::string agentStdin_ = "/dev/null";  // the file the agent's standard input reads
};

#endif
