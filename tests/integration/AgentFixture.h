// Integration fixture: each test gets a fresh start directory with its own kadrel.ini, a free
// port, and the real kadrel-remote binary started in the foreground ("alwayson") with its
// standard output and error captured to files. Runs only inside tests/sandbox.
#ifndef KADREL_TESTS_AGENTFIXTURE_H
#define KADREL_TESTS_AGENTFIXTURE_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "client/PanelClient.h"

// Result of a program run to its end.
struct ProgramResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs argv[0] (a path) with `argv` in `cwd`, waits at most `timeoutMs`, captures its output.
ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& cwd,
                         int timeoutMs = 60000);

// A TCP port nobody listens on right now.
int freePort();

// True when something listens on 0.0.0.0:port or 127.0.0.1:port (read from /proc/net/tcp).
bool portListening(int port);

// Creates the account `name` with a home directory under /home (once per sandbox).
void ensureAccount(const std::string& name, const std::string& extraUseraddArgs = "");

// Runs a shell line as root and returns its standard output.
std::string shell(const std::string& line);

class AgentFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // kadrel.ini with this fixture's serverid, passphrase, port and `debugValue`, plus `extra`
  // lines. Call before startAgent to change the defaults.
  void writeConfig(const std::string& extra = "", const std::string& debugValue = "alwayson");
  // Writes `content` as kadrel.ini, exactly.
  void writeRawConfig(const std::string& content);

  // Starts the agent in the foreground and waits until it listens.
  void startAgent();
  // Ends the agent (SIGTERM, then SIGKILL) and reaps it.
  void stopAgent();
  bool agentRunning();

  std::string agentStdout() const;
  std::string agentStderr() const;
  // The ordinary log lines written so far, one element per line.
  std::vector<std::string> logLines() const;
  // Waits until `line` is one of the log lines; false after `timeoutMs`.
  bool waitForLogLine(const std::string& line, int timeoutMs = 20000) const;

  // A connected client, not yet authenticated.
  std::unique_ptr<PanelClient> connectClient();
  // A connected client that passed the handshake.
  std::unique_ptr<PanelClient> authenticatedClient();
  // On a fresh connection: handshake, "cmd_user:", "cmd_return: yes" or no, "cmd_close: yes",
  // then the instruction; returns everything the agent sent for it until it closed.
  std::string runInstruction(const std::string& instruction, const std::string& user = "root",
                             bool wantReply = true);
  // Like runInstruction("version") with a reply wanted, but no wait lasts longer than
  // `timeoutMs`: a broken agent fails the test instead of hanging it.
  std::string versionWithin(int timeoutMs = 20000);

  std::string dir_;       // the start directory
  int port_ = 0;
  pid_t pid_ = -1;
  std::string sid_ = "Server-7";
  std::string pass_ = "Open-Sesame-42";
};

#endif
