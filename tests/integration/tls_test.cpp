// The listening port with TLS on: the wire inside TLS, peers that cannot shake hands, client
// certificates, the handshake deadline and a large reply. Start-up with unusable files is in
// the start-up test.
#include "AgentFixture.h"

class TlsTest : public AgentFixture {
 protected:
  // The agent with TLS on and `extra` configuration; the fixture's clients trust "ca".
  void startTlsAgent(const std::string& extra = "") {
    restartAgent("tls=on\ntlscert=" + certFile("agent") + "\ntlskey=" + keyFile("agent") + "\n" + extra);
    clientTls_ = MakeClientTls({certFile("ca"), certFile("panel"), keyFile("panel")});
    ASSERT_TRUE(clientTls_);
  }
  // What kadrel-client --tls with the fixture's configuration, `args` and "version" prints.
  std::string tlsClient(std::vector<std::string> args) {
    args.insert(args.begin(), {KADREL_CLIENT_BINARY, "--config", dir_ + "/kadrel.ini", "--tls"});
    args.push_back("version");
    return runProgram(args, dir_).out;
  }
};

// Inside TLS the wire is the plaintext one, byte for byte, for a stock TLS client too (what a
// panel's tunnel runs); a plaintext peer, a client that cannot verify the agent and one that asks
// for another name get nothing.
TEST_F(TlsTest, SpeaksThePlaintextWireInsideTlsOnly) {
  startTlsAgent();
  std::string frames;
  for (const std::string& m :
       {"SID " + sid_, "Passphrase " + pass_, std::string("cmd_user: root"), std::string("cmd_return: yes"),
        std::string("cmd_close: yes"), std::string("cmd_exec: command:_:printf x")})
    frames += PanelClient::frame(m);
  const std::string tunnel =
      "printf %s \"$0\" | openssl s_client -quiet -verify_return_error -CAfile \"$1\" "
      "-connect 127.0.0.1:\"$2\"";
  EXPECT_EQ(runProgram({"/bin/bash", "-c", tunnel, frames, certFile("ca"), std::to_string(port_)}, dir_).out,
            "Correct SID received\r\nCorrect passphrase received\r\nUser received\r\nReturn received\r\n"
            "Close received\r\nx\n\r\n");
  PanelClient plain;
  ASSERT_TRUE(plain.connect("127.0.0.1", port_) && plain.sendFrame("SID " + sid_));
  EXPECT_EQ(plain.readUntilClose(20000), "");
  EXPECT_EQ(tlsClient({"--cacert", certFile("ca")}), KADREL_VERSION "\n");
  EXPECT_EQ(tlsClient({}), "") << "the agent's CA is not in the system's store";
  EXPECT_EQ(tlsClient({"--cacert", certFile("ca"), "--host", "localhost"}), "")
      << "the certificate names 127.0.0.1";
}

// With tlsclientca only a certificate that CA signed gets a session; a refused certificate is a
// failed handshake and earns its address a penalty.
TEST_F(TlsTest, MutualTlsRefusesPeersWithoutACertificateOfTheClientCa) {
  startTlsAgent("tlsclientca=" + certFile("ca") + "\n");
  for (const std::string who : {"panel", "stranger", ""}) {
    std::vector<std::string> args{"--cacert", certFile("ca")};
    if (!who.empty()) args.insert(args.end(), {"--cert", certFile(who), "--key", keyFile(who)});
    EXPECT_EQ(tlsClient(args), who == "panel" ? KADREL_VERSION "\n" : "") << who;
  }
  startTlsAgent("tlsclientca=" + certFile("ca") + "\npenalty_loopback=yes\n");
  EXPECT_EQ(tlsClient({"--cacert", certFile("ca")}), "");
  EXPECT_TRUE(waitForLog("Penalty of 2 s for 127.0.0.1 after a failed handshake"));
}

// A peer that stops in the middle of the TLS handshake counts as unauthenticated: it makes way
// for a newer one at the cap, and the handshake deadline closes it.
TEST_F(TlsTest, StalledTlsHandshakeMeetsTheCapAndTheDeadline) {
  startTlsAgent("handshake_timeout=2\nmax_unauthenticated=1\n");
  const std::string partialHello("\x16\x03\x01\x00\xc8\x01\x00\x00", 8);
  PanelClient first, second;  // raw peers, without TLS of their own
  ASSERT_TRUE(first.connect("127.0.0.1", port_) && first.sendRaw(partialHello));
  EXPECT_TRUE(waitForLog("Connection started"));
  ASSERT_TRUE(second.connect("127.0.0.1", port_) && second.sendRaw(partialHello));
  EXPECT_TRUE(waitForLog("Unauthenticated connections at the limit of 1: closed 1"));
  EXPECT_TRUE(first.waitClosed(20000));
  EXPECT_TRUE(second.waitClosed(20000)) << "held past the handshake deadline";
}

TEST_F(TlsTest, LargeReplyArrivesIntact) {
  startTlsAgent();
  const std::string file = dir_ + "/large";
  shell("head -c 64M /dev/urandom > '" + file + "'");
  const std::string content = readWholeFile(file);
  ASSERT_EQ(content.size(), 64u << 20);
  EXPECT_TRUE(runInstruction("command:_:cat " + file) == content + "\n\r\n") << "the reply differs";
}
