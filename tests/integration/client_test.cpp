// kadrel-client against a real agent: a session opened with its settings, and the exit status
// of each way it can fail.
#include "AgentFixture.h"

class ClientTest : public AgentFixture {};

TEST_F(ClientTest, ServesInstructionsAndTellsRefusalFromAFailedConnect) {
  startAgent();
  const std::string port = std::to_string(port_), unused = std::to_string(freePort());
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, errHas;
  } cases[] = {
      {{"--port", port, "--passphrase", pass_, "--user", "root", "version", "command:_:printf x"},
       0,
       KADREL_VERSION "\nx\n",
       ""},
      {{"--port", port, "--passphrase", "wrong", "version"},
       1,
       "",
       "refused: \"Passphrase\" was answered with \"Received incorrect passphrase\""},
      {{"--port", unused, "--passphrase", pass_, "version"}, 2, "", "cannot connect"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{KADREL_CLIENT_BINARY, "--sid", sid_};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const ProgramResult r = runProgram(argv, dir_, 60000);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out) << c.args[1];
    EXPECT_NE(r.err.find(c.errHas), std::string::npos) << r.err;
  }
}
