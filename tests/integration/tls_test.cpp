// The listening port with TLS on: the wire inside TLS, peers that cannot shake hands, client
// certificates, start-up with unusable files, the handshake deadline and a large reply.
#include <unistd.h>

#include "AgentFixture.h"

class TlsTest : public AgentFixture {
 protected:
  // Made once per test program with openssl: two CAs ("ca" and "other"), the agent's
  // certificate for 127.0.0.1 and a panel's, both signed by "ca", and a stranger's signed by
  // "other"; each NAME.pem with its NAME.key.
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/kadrel-tls.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    certs_ = tmpl;
    const ProgramResult r = runProgram(
        {"/bin/bash", "-ec",
         "cd \"$0\"; key='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes'\n"
         "for ca in ca other; do openssl req -x509 $key -keyout $ca.key -out $ca.pem -days 2 -subj /CN=$ca; "
         "done\n"
         "sign() { openssl req $key -keyout $1.key -out $1.csr -subj /CN=$1\n"
         "  openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2.key -CAcreateserial -days 2 -out $1.pem \\\n"
         "    -extfile <(echo subjectAltName=IP:127.0.0.1); }\n"
         "sign agent ca; sign panel ca; sign stranger other",
         certs_},
        "");
    ASSERT_EQ(r.status, 0) << r.err;
  }
  static std::string cert(const std::string& name) { return certs_ + "/" + name + ".pem"; }
  static std::string key(const std::string& name) { return certs_ + "/" + name + ".key"; }

  // The agent with TLS on and `extra` configuration; the fixture's clients trust "ca".
  void startTlsAgent(const std::string& extra = "") {
    restartAgent("tls=on\ntlscert=" + cert("agent") + "\ntlskey=" + key("agent") + "\n" + extra);
    clientTls_ = MakeClientTls({cert("ca"), cert("panel"), key("panel")});
    ASSERT_TRUE(clientTls_);
  }
  // kadrel-client --tls with the fixture's configuration, `args` and "version".
  ProgramResult tlsClient(std::vector<std::string> args) {
    args.insert(args.begin(), {KADREL_CLIENT_BINARY, "--config", dir_ + "/kadrel.ini", "--tls"});
    args.push_back("version");
    return runProgram(args, dir_);
  }
  static std::string certs_;
};
std::string TlsTest::certs_;

// Inside TLS the wire is the plaintext one, byte for byte; a plaintext peer, a client that
// cannot verify the agent and one that asks for another name get nothing, and the agent serves on.
TEST_F(TlsTest, SpeaksThePlaintextWireInsideTlsOnly) {
  startTlsAgent();
  PanelClient plain;
  ASSERT_TRUE(plain.connect("127.0.0.1", port_));
  ASSERT_TRUE(plain.sendFrame("SID " + sid_));
  std::string got;
  EXPECT_TRUE(plain.waitClosed(20000, &got));
  EXPECT_EQ(got, "");
  EXPECT_TRUE(waitForLog("TLS handshake failed: wrong version number"));

  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{"--cacert", cert("ca")}, 0, KADREL_VERSION "\n"},
      {{}, 2, ""},                                               // not in the system's store
      {{"--cacert", cert("ca"), "--host", "localhost"}, 2, ""},  // the certificate names 127.0.0.1
  };
  for (const auto& c : cases) {
    const ProgramResult r = tlsClient(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out) << r.err;
  }

  std::string frames;
  for (const std::string& m :
       {"SID " + sid_, "Passphrase " + pass_, std::string("cmd_user: root"), std::string("cmd_return: yes"),
        std::string("cmd_close: yes"), std::string("cmd_exec: command:_:printf x")})
    frames += PanelClient::frame(m);
  const ProgramResult r =
      runProgram({"/bin/bash", "-c",
                  "printf %s \"$0\" | openssl s_client -quiet -verify_return_error -CAfile \"$1\" "
                  "-connect 127.0.0.1:\"$2\"",
                  frames, cert("ca"), std::to_string(port_)},
                 "");
  EXPECT_EQ(r.out,
            "Correct SID received\r\nCorrect passphrase received\r\nUser received\r\nReturn received\r\n"
            "Close received\r\nx\n\r\n")
      << r.err;
}

// With tlsclientca only a certificate that CA signed gets as far as the first frame; a refused
// certificate is a failed handshake and earns its address a penalty.
TEST_F(TlsTest, MutualTlsRefusesPeersWithoutACertificateOfTheClientCa) {
  startTlsAgent("tlsclientca=" + cert("ca") + "\n");
  const struct {
    std::string who;
    int status;
  } cases[] = {{"panel", 0}, {"stranger", 1}, {"", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.who);
    std::vector<std::string> args{"--cacert", cert("ca")};
    if (!c.who.empty()) args.insert(args.end(), {"--cert", cert(c.who), "--key", key(c.who)});
    const ProgramResult r = tlsClient(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.status == 0 ? KADREL_VERSION "\n" : "");
  }
  EXPECT_FALSE(logged("Correct SID received")) << "only the panel's session may read frames";

  startTlsAgent("tlsclientca=" + cert("ca") + "\npenalty_loopback=yes\n");
  EXPECT_NE(tlsClient({"--cacert", cert("ca")}).status, 0);
  EXPECT_TRUE(waitForLog("Penalty of 2 s for 127.0.0.1 after a failed handshake"));
}

TEST_F(TlsTest, UnusableCertificateOrKeyEndsStartUp) {
  const struct {
    std::string files, err;
  } cases[] = {
      {"tlscert=" + cert("agent") + "\ntlskey=/nowhere.key", "Could not load the TLS key /nowhere.key: "},
      {"tlscert=/nowhere.pem\ntlskey=" + key("agent"), "Could not load the TLS certificate /nowhere.pem: "},
      {"tlscert=" + cert("agent") + "\ntlskey=" + key("panel"),
       "The TLS key " + key("panel") + " does not match the certificate " + cert("agent") + "\n"},
  };
  for (const auto& c : cases) {
    writeConfig("tls=on\n" + c.files + "\n");
    const ProgramResult r = runProgram({KADREL_AGENT_BINARY}, dir_, 20000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
    EXPECT_FALSE(portListening(port_));
  }
}

// A peer that stops in the middle of the TLS handshake counts as unauthenticated: it makes way
// for a newer one at the cap, and the handshake deadline closes it.
TEST_F(TlsTest, StalledTlsHandshakeMeetsTheCapAndTheDeadline) {
  startTlsAgent("handshake_timeout=2\nmax_unauthenticated=1\n");
  const std::string partialHello("\x16\x03\x01\x00\xc8\x01\x00\x00", 8);
  PanelClient first, second;  // raw peers, without TLS of their own
  ASSERT_TRUE(first.connect("127.0.0.1", port_));
  ASSERT_TRUE(first.sendRaw(partialHello));
  EXPECT_TRUE(waitForLog("Connection started"));
  ASSERT_TRUE(second.connect("127.0.0.1", port_));
  ASSERT_TRUE(second.sendRaw(partialHello));
  EXPECT_TRUE(waitForLog("Unauthenticated connections at the limit of 1: closed 1"));
  EXPECT_TRUE(first.waitClosed(20000));
  EXPECT_TRUE(second.waitClosed(20000)) << "held past the handshake deadline";
  EXPECT_TRUE(waitForLog("TLS handshake failed: time for the handshake ran out"));
}

TEST_F(TlsTest, LargeReplyArrivesIntact) {
  startTlsAgent();
  const std::string file = dir_ + "/large";
  shell("head -c 64M /dev/urandom > '" + file + "'");
  const std::string content = readWholeFile(file);
  ASSERT_EQ(content.size(), 64u << 20);
  EXPECT_TRUE(runInstruction("command:_:cat " + file) == content + "\n\r\n") << "the reply differs";
}
