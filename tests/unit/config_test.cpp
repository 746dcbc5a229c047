// Reading the configuration file into the process-wide settings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "core/ConfigLoader.h"
#include "core/Settings.h"

namespace {

const std::string kRequired = "serverid=S1\npassphrase=P1\ndebug=off\n";

const std::string kMalformed = "There was an error loading the config. Error: Field is empty\n";
const std::string kMissing = "Error loading configuration. A setting wasn't loaded\n";

// Reads `content` and returns "ok" or the failure's text, then ": serverid|passphrase|debug|
// whitelist|is_sha5|user_group|listenport" as read.
std::string load(const std::string& content) {
  KadrelConfig c;
  std::istringstream in(content);
  const Result read = ReadConfig(in, c);
  return (read ? std::string("ok") : read.text()) + ": " + c.serverid + "|" + c.passphrase + "|" + c.debug +
         "|" + c.whitelist + "|" + c.is_sha5 + "|" + c.user_group + "|" + std::to_string(c.listenport);
}

TEST(Config, ReadsSettingsAndNamesTheFailure) {
  const std::pair<std::string, std::string> rows[] = {
      {"SERVERID=Srv\nPassPhrase=secret\nDebug=alwayson\nwhitelist=10.0.0.1;10.0.0.2\nIS_SHA5=true\n"
       "user_group=games\nlistenport=2410\n",
       "ok: Srv|secret|alwayson|10.0.0.1;10.0.0.2|true|games|2410"},
      // Values are trimmed and end at a second "=".
      {"serverid=\t S1 \r\npassphrase= a b \ndebug=one=two\nuser_group=g=\n\n\n", "ok: S1|a b|one|||g|240"},
      // A later duplicate wins, unknown keys are ignored, the last line needs no line feed.
      {"serverid=first\n#note=x\nport=1\n" + kRequired + "foo=bar\nserverid=last", "ok: last|P1|off||||240"},
      // The port takes leading digits, like the C library's conversion.
      {kRequired + "listenport=abc\n", "ok: S1|P1|off||||0"},
      {kRequired + "listenport=  -5x7\n", "ok: S1|P1|off||||-5"},
      // A required setting missing or empty.
      {"", kMissing + ": ||||||240"},
      {"serverid =x\npassphrase=P1\ndebug=off\n",
       kMissing + ": |P1|off||||240"},  // "serverid " is another key
      {"serverid=S1\npassphrase= \t \ndebug=off\n", kMissing + ": S1||off||||240"},
      {"serverid=S1\npassphrase=P1\n", kMissing + ": S1|P1|||||240"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.first);
    EXPECT_EQ(row.second, load(row.first));
  }
}

TEST(Config, LineWithEmptyKeyOrValueOrNoEqualsIsMalformed) {
  for (const char* bad : {"\r", " ", "#comment", "=value", "key=", "serverid", "==x"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(0u, load(kRequired + bad + "\n").rfind(kMalformed + ": ", 0));
    EXPECT_EQ(0u, load(std::string(bad) + "\n" + kRequired).rfind(kMalformed + ": ", 0));
  }
}

TEST(Config, FileThatCannotBeReadFails) {
  char dir[] = "/tmp/kadrel-config-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  KadrelConfig c;
  EXPECT_EQ("Couldn't read the config file", ReadConfigFile(dir, c).text());  // opens, but every read fails
  rmdir(dir);
}

TEST(Config, Sha5IsSetOnlyByTrueInAnyCaseAndDebugOnlyByItsTwoWordsInSmallLetters) {
  const std::pair<const char*, bool> sha[] = {{"true", true}, {"TRUE", true}, {"tRUE", true},  {"yes", false},
                                              {"1", false},   {"", false},    {"true ", false}};
  for (const auto& [value, set] : sha) {
    KadrelConfig c;
    c.is_sha5 = value;
    EXPECT_EQ(set, SettingsFrom(c).shaPasswords) << value;
  }
  const std::pair<const char*, DebugMode> debug[] = {{"on", DebugMode::File},
                                                     {"alwayson", DebugMode::Foreground},
                                                     {"ON", DebugMode::Off},
                                                     {"AlwaysOn", DebugMode::Off},
                                                     {"off", DebugMode::Off}};
  for (const auto& [value, mode] : debug) {
    KadrelConfig c;
    c.debug = value;
    EXPECT_EQ(mode, SettingsFrom(c).debug) << value;
  }
}

TEST(Config, LimitsOnPeers) {
  const struct {
    std::string lines;
    int maxUnauth, penalty, penaltyMax, handshake, reply;
    std::string loopback;
  } rows[] = {
      {"", 0, 2, 300, 30, 120, ""},
      {"Max_Unauthenticated=50\npenalty_seconds=0\npenalty_max_seconds=60\npenalty_loopback=yes\n"
       "handshake_timeout=5\nreply_timeout=7s\n",
       50, 0, 60, 5, 7, "yes"},
      // Far beyond the int range: clamped, never wrapped into a small or negative limit.
      {"reply_timeout=99999999999999\nmax_unauthenticated=-99999999999999\n", -2147483647 - 1, 2, 300, 30,
       2147483647, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.lines);
    KadrelConfig c;
    std::istringstream in(kRequired + row.lines);
    ASSERT_TRUE(ReadConfig(in, c).ok());
    EXPECT_EQ(c.max_unauthenticated, row.maxUnauth);
    EXPECT_EQ(c.penalty_seconds, row.penalty);
    EXPECT_EQ(c.penalty_max_seconds, row.penaltyMax);
    EXPECT_EQ(c.handshake_timeout, row.handshake);
    EXPECT_EQ(c.reply_timeout, row.reply);
    EXPECT_EQ(c.penalty_loopback, row.loopback);
  }
}

}  // namespace
