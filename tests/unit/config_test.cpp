// Reading the configuration file: keys in any case, trimmed values, the failure it names, and
// limits that never wrap.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "core/ConfigLoader.h"
#include "core/Settings.h"

namespace {

const std::string kRequired = "serverid=S1\npassphrase=P1\ndebug=off\n";
const std::string kMissing = "Error loading configuration. A setting wasn't loaded\n";
const std::string kMalformed = "There was an error loading the config. Error: Field is empty\n";

TEST(Config, ReadsSettingsAndNamesTheFailure) {
  const std::pair<std::string, std::string> rows[] = {
      {"SERVERID=Srv\nPassPhrase=secret\nDebug=alwayson\nwhitelist=10.0.0.1;10.0.0.2\nuser_group=games\n"
       "listenport=2410\n",
       "ok: Srv|secret|alwayson|10.0.0.1;10.0.0.2|games|2410"},
      // Values are trimmed and end at a second "=".
      {"serverid=\t S1 \r\npassphrase= a b \ndebug=one=two\nuser_group=g=\n\n\n", "ok: S1|a b|one||g|240"},
      // A later duplicate wins, unknown keys are ignored, the last line needs no line feed.
      {"serverid=first\n#note=x\nport=1\n" + kRequired + "foo=bar\nserverid=last", "ok: last|P1|off|||240"},
      // A required setting missing or empty ("serverid " is another key).
      {"serverid =x\npassphrase=P1\ndebug=off\n", kMissing + ": |P1|off|||240"},
      {"serverid=S1\npassphrase= \t \ndebug=off\n", kMissing + ": S1||off|||240"},
      // A line with an empty key or value, or without "=".
      {kRequired + "key=\n", kMalformed},
      {"serverid\n" + kRequired, kMalformed},
  };
  for (const auto& [lines, expected] : rows) {
    KadrelConfig c;
    std::istringstream in(lines);
    const Result read = ReadConfig(in, c);
    const std::string got = read ? "ok" : read.text();
    EXPECT_EQ(expected, got == kMalformed
                            ? got
                            : got + ": " + c.serverid + "|" + c.passphrase + "|" + c.debug + "|" +
                                  c.whitelist + "|" + c.user_group + "|" + std::to_string(c.listenport))
        << lines;
  }
}

TEST(Config, LimitsBeyondTheIntRangeAreClampedNeverWrapped) {
  KadrelConfig c;
  std::istringstream in(kRequired + "reply_timeout=99999999999999\nmax_unauthenticated=-99999999999999\n");
  ASSERT_TRUE(ReadConfig(in, c).ok());
  EXPECT_EQ(c.reply_timeout, 2147483647);
  EXPECT_EQ(c.max_unauthenticated, -2147483647 - 1);
}

}  // namespace
