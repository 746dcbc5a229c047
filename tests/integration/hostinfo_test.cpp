// Host status, ping, firewall and monitor instructions against the real agent inside the
// sandbox (its own network namespace: the host's firewall and addresses are never touched), as
// root and as an account. A value with shell syntax in it stays one word: nothing makes pwned.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <regex>
#include <thread>

#include "AgentFixture.h"
#include "HttpServer.h"

namespace {

const std::string kAccount = "khostinfo";

bool matches(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern));
}

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

TEST_F(HostInfo, SysstatsAndPingAsAnAccount) {
  EXPECT_PRED2(matches, runInstruction("sysstats", kAccount), "([0-9]+::){5}[0-9]+\\.[0-9]+\n\n\r\n");
  EXPECT_PRED2(matches, runInstruction("ping:_:127.0.0.1", kAccount), "[0-9]+\\.[0-9]+\n\n\r\n");
  // An unknown host: no summary line.
  EXPECT_EQ("\n\r\n", runInstruction("ping:_:127.0.0.1;touch " + dir_ + "/pwned"));
}

// Each open inserts the two rules of an address and port, a close deletes them once; each
// saves the rule set to the file named. An account changes nothing.
TEST_F(HostInfo, FirewallRulesOpenTwiceCloseOnceAndTheRuleFileIsSaved) {
  const std::string file = dir_ + "/saved rules;x", rules = "iptable:_:10.1.2.3:_:27015:_:" + file;
  const std::string count = "grep -c -- '-A INPUT' ";
  for (const char* action : {"open", "open"}) EXPECT_EQ("\n\r\n", runInstruction(action + rules));
  EXPECT_EQ("4\n", shell(count + shellQuote(file)));
  EXPECT_EQ("\n\r\n", runInstruction("close" + rules));
  EXPECT_EQ("2\n", shell(count + shellQuote(file)));
  runInstruction("openiptable:_:10.4.4.4:_:1:_:/tmp/rules", kAccount);
  runInstruction("openiptable:_:10.4.4.4;touch " + dir_ + "/pwned:_:1:_:" + file);
  EXPECT_EQ("2\n", shell("iptables-save | " + count));
}

// Two monitors of one account at once each write a file of their own: the server holds the
// first request until the second one arrives, and looks at the account's home meanwhile. The
// panel's values reach the query as they are, and no file stays.
TEST_F(HostInfo, ConcurrentMonitorsOfOneAccountUseFilesOfTheirOwn) {
  const std::string files = "ls -A /home/" + kAccount + " | grep -c '^gm\\.'";
  std::mutex m;
  std::condition_variable arrived;
  int requests = 0;
  std::string filesWhileBothRan;
  HttpServer server([&](const std::string&) {
    std::unique_lock<std::mutex> lock(m);
    if (++requests == 2) {
      filesWhileBothRan = shell(files);
      arrived.notify_all();
    }
    arrived.wait_for(lock, std::chrono::seconds(60), [&] { return requests >= 2; });
    return std::string("document\n");
  });
  const std::string monitor = "gamemonitor:_:127.0.0.1:_:" + server.url("/monitor.php");
  std::string first;
  std::thread other([&] { first = runInstruction(monitor + ":_:42:_:", kAccount); });
  EXPECT_EQ("\n\r\n", runInstruction(monitor + ":_:a&b:_:it's", kAccount));
  other.join();
  EXPECT_EQ("\n\r\n", first);
  EXPECT_EQ("2\n", filesWhileBothRan);
  EXPECT_EQ("0\n", shell(files));
  std::vector<std::string> targets = server.targets();
  std::sort(targets.begin(), targets.end());
  EXPECT_EQ(targets, (std::vector<std::string>{"/monitor.php?p=42&e2=", "/monitor.php?p=a&b&e2=it's"}));
}

}  // namespace
