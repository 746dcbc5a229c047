// Start-up: a start that cannot serve ends with status 1 and says why; a detached start returns
// once its daemon listens. The daemon, not a child of the test, ends with the test's sandbox.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "AgentFixture.h"

namespace {

using StartupTest = AgentFixture;

// In order: no kadrel.ini, a line that is no setting, a setting missing, unusable TLS files (an
// encrypted key while standard input is an open pipe: no pass phrase is read), a detached start,
// and a second one on the port the first daemon holds, detached and in the foreground.
TEST_F(StartupTest, AStartThatCannotServeEndsWithStatus1) {
  const std::string good = "serverid=a\npassphrase=b\ndebug=on\nlistenport=" + std::to_string(port_) + "\n",
                    tls = good + "tls=on\ntlscert=" + certFile("agent") + "\ntlskey=";
  int input[2];
  ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
  const struct {
    std::string config;
    int status;
    std::string err;  // part of what it prints
  } cases[] = {
      {"", 1, "Couldn't read the config file\n"},
      {good + "junk\n", 1, "There was an error loading the config. Error: Field is empty\n"},
      {good.substr(good.find('\n') + 1), 1, "Error loading configuration. A setting wasn't loaded\n"},
      {tls + "/nowhere.key\n", 1, "Could not load the TLS key /nowhere.key: "},
      {tls + keyFile("locked") + "\n", 1, "TLS key " + keyFile("locked") + ": it is encrypted"},
      {tls + keyFile("panel") + "\n", 1,
       "The TLS key " + keyFile("panel") + " does not match the certificate " + certFile("agent") + "\n"},
      {good, 0, ""},
      {good, 1, "Error: Could not bind to port.\n"},
      {good + "debug=alwayson\n", 1, "Error: Could not bind to port.\n"},
  };
  for (const auto& c : cases) {
    unlink((dir_ + "/kadrel.ini").c_str());
    if (!c.config.empty()) std::ofstream(dir_ + "/kadrel.ini") << c.config;
    const ProgramResult r =
        runProgram({KADREL_AGENT_BINARY}, dir_, 20000, "/proc/self/fd/" + std::to_string(input[0]));
    EXPECT_EQ(r.status, c.status) << c.err;
    EXPECT_NE((r.out + r.err).find(c.err), std::string::npos) << r.out + r.err;
  }
  close(input[0]);
  close(input[1]);
  // The debug file may hold what the panel sent: only root reads it.
  struct stat st;
  EXPECT_TRUE(stat((dir_ + "/debug.txt").c_str(), &st) == 0 && (st.st_mode & 07777) == 0600);
}

}  // namespace
