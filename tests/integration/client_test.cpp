// kadrel-client against a real agent: its version, a session opened with its settings, and
// the exit status of each way it can fail.
#include "AgentFixture.h"

class ClientTest : public AgentFixture {};

TEST_F(ClientTest, OpensASessionAndTellsRefusalFromAFailedConnect) {
  startAgent();
  const std::string port = std::to_string(port_), unused = std::to_string(freePort());
  const struct {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string out;
    const char* errHas;
  } cases[] = {
      {"version", {"--version"}, 0, "kadrel-client " KADREL_VERSION "\n", ""},
      {"answered",
       {"--port", port, "--sid", sid_, "--passphrase", pass_, "version"},
       0,
       KADREL_VERSION "\n",
       ""},
      {"two instructions on one session",
       {"--port", port, "--sid", sid_, "--passphrase", pass_, "--user", "root", "version",
        "command:_:printf x"},
       0,
       KADREL_VERSION "\nx\n",
       ""},
      {"wrong passphrase",
       {"--port", port, "--sid", sid_, "--passphrase", "wrong", "version"},
       1,
       "",
       "refused: \"Passphrase\" was answered with \"Received incorrect passphrase\""},
      {"nobody listens",
       {"--port", unused, "--sid", sid_, "--passphrase", pass_, "version"},
       2,
       "",
       "cannot connect"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> argv{KADREL_CLIENT_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const ProgramResult r = runProgram(argv, dir_, 60000);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_NE(r.err.find(c.errHas), std::string::npos) << r.err;
  }
}
