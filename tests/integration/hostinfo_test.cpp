// Host status, addresses, ping, firewall and monitor instructions against the real agent
// inside the sandbox (its own network namespace: the host's firewall and addresses are never
// touched), as root and as an account.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <regex>
#include <sstream>
#include <thread>

#include "AgentFixture.h"
#include "HttpServer.h"

namespace {

const char kAccount[] = "khostinfo";
const std::string kHome = std::string("/home/") + kAccount;

class HostInfo : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
    ensureAccount(kAccount);
    if (HasFatalFailure()) return;
    startAgent();
  }
  void TearDown() override {
    EXPECT_FALSE(pathExists(dir_ + "/pwned")) << "a value ran as shell text";
    AgentFixture::TearDown();
  }
};

TEST_F(HostInfo, SysstatsAndPingAsRootAndAccount) {
  const std::string time = "[0-9]+\\.[0-9]+\n\n\r\n";
  const struct {
    std::string instruction, user, reply;  // reply: a regular expression
  } rows[] = {
      {"sysstats", kAccount, "[0-9]+::[0-9]+::[0-9]+::[0-9]+::[0-9]+::[0-9]+\\.[0-9]+\n\n\r\n"},
      {"ping:_:127.0.0.1", "root", time},
      {"ping:_:127.0.0.1", kAccount, time},
      // No route in the sandbox: no summary line. A host with shell text in it stays one word.
      {"ping:_:10.255.255.1", "root", "\n\r\n"},
      {"ping:_:127.0.0.1;touch " + dir_ + "/pwned", "root", "\n\r\n"},
  };
  for (const auto& row : rows) {
    const std::string got = runInstruction(row.instruction, row.user);
    EXPECT_TRUE(std::regex_match(got, std::regex(row.reply)))
        << row.instruction << " " << row.user << ": " << got;
  }
}

// Only the rules this test adds: the INPUT chain of the saved rule file.
std::string inputRules(const std::string& saved) {
  std::string rules;
  std::istringstream in(saved);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 9, "-A INPUT ") == 0) rules += line + "\n";
  return rules;
}

TEST_F(HostInfo, FirewallRulesOpenTwiceCloseOnceAndTheRuleFileIsSaved) {
  shell("iptables -F INPUT");
  const std::string file = dir_ + "/saved rules;x", open = "openiptable:_:10.1.2.3:_:27015:_:" + file;
  const std::string rulePair =
      "-A INPUT -s 10.1.2.3/32 -p udp -m udp --dport 27015 -j ACCEPT\n"
      "-A INPUT -d 10.1.2.3/32 -p tcp -m tcp --dport 27015 -j ACCEPT\n";
  EXPECT_EQ(runInstruction(open), "\n\r\n");
  EXPECT_EQ(runInstruction(open), "\n\r\n");
  EXPECT_EQ(inputRules(readWholeFile(file)), rulePair + rulePair);
  EXPECT_EQ(runInstruction("closeiptable:_:10.1.2.3:_:27015:_:" + file), "\n\r\n");
  EXPECT_EQ(inputRules(readWholeFile(file)), rulePair);
  // An account cannot change the firewall; a value with shell syntax stays one word.
  EXPECT_EQ(runInstruction("openiptable:_:10.4.4.4:_:1:_:" + kHome + "/rules", kAccount), "\n\r\n");
  EXPECT_EQ(runInstruction("openiptable:_:10.4.4.4;touch " + dir_ + "/pwned:_:1:_:" + file), "\n\r\n");
  EXPECT_EQ(inputRules(shell("iptables-save")), rulePair);
  shell("iptables -F INPUT");
}

// Two monitors of one account at once each write a file of their own: the server holds the
// first request until the second one arrives, and looks at the account's home meanwhile. The
// panel's values reach the query as they are, and no file stays.
TEST_F(HostInfo, ConcurrentMonitorsOfOneAccountUseFilesOfTheirOwn) {
  auto monitorFiles = [] { return shell("cd " + kHome + " && ls -A | grep '^gm\\.' || true"); };
  std::mutex m;
  std::condition_variable arrived;
  int requests = 0;
  std::string filesWhileBothRan;
  HttpServer server([&](const std::string&) {
    std::unique_lock<std::mutex> lock(m);
    if (++requests == 2) {
      filesWhileBothRan = monitorFiles();
      arrived.notify_all();
    }
    arrived.wait_for(lock, std::chrono::seconds(60), [&] { return requests >= 2; });
    return std::string("document\n");
  });
  const std::string url = server.url("/monitor.php");
  std::string first;
  std::thread other(
      [&] { first = runInstruction("gamemonitor:_:127.0.0.1:_:" + url + ":_:42:_:", kAccount); });
  EXPECT_EQ(runInstruction("gamemonitor:_:127.0.0.1:_:" + url + ":_:a&b:_:it's", kAccount), "\n\r\n");
  other.join();
  EXPECT_EQ(first, "\n\r\n");
  EXPECT_EQ(std::count(filesWhileBothRan.begin(), filesWhileBothRan.end(), '\n'), 2) << filesWhileBothRan;
  EXPECT_EQ(monitorFiles(), "");
  std::vector<std::string> targets = server.targets();
  std::sort(targets.begin(), targets.end());
  EXPECT_EQ(targets, (std::vector<std::string>{"/monitor.php?p=42&e2=", "/monitor.php?p=a&b&e2=it's"}));
}

}  // namespace
