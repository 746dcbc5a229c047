// Reading the configuration file into the process-wide settings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "agent/ConfigLoader.h"
#include "agent/Settings.h"

namespace {

const std::string kRequired = "serverid=S1\npassphrase=P1\ndebug=off\n";

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serverid = passphrase = debug = whitelist = user_group = is_sha5 = "";
    listenport = 240;
  }
  // Writes `content` to a temporary file, reads it as the configuration, removes it.
  int load(const std::string& content) {
    char path[] = "/tmp/kadrel-config-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return -1;
    bool written = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ::close(fd);
    int code = written ? ReadConfigFile(path) : -1;
    std::remove(path);
    return code;
  }
};

TEST_F(ConfigTest, StoresEverySetting) {
  ASSERT_EQ(0, load("SERVERID=Srv\nPassPhrase=secret\nDebug=alwayson\nwhitelist=10.0.0.1;10.0.0.2\n"
                    "IS_SHA5=true\nuser_group=games\nlistenport=2410\n"));
  EXPECT_EQ("Srv", serverid);
  EXPECT_EQ("secret", passphrase);
  EXPECT_EQ("alwayson", debug);
  EXPECT_EQ("10.0.0.1;10.0.0.2", whitelist);
  EXPECT_EQ("true", is_sha5);
  EXPECT_EQ("games", user_group);
  EXPECT_EQ(2410, listenport);
}

TEST_F(ConfigTest, ValuesAreTrimmedAndCutAtASecondEquals) {
  ASSERT_EQ(0, load("serverid=\t S1 \r\npassphrase= a b \ndebug=one=two\nuser_group=g=\n\n\n"));
  EXPECT_EQ("S1", serverid);
  EXPECT_EQ("a b", passphrase);
  EXPECT_EQ("one", debug);
  EXPECT_EQ("g", user_group);
}

TEST_F(ConfigTest, LaterDuplicateWinsAndUnknownKeysAreIgnored) {
  ASSERT_EQ(0, load("serverid=first\n#note=x\nport=1\n" + kRequired + "foo=bar\nserverid=last"));
  EXPECT_EQ("last", serverid);  // read although the file ends without a line feed
  EXPECT_EQ(240, listenport);
}

TEST_F(ConfigTest, ListenPortConvertsLeadingDigits) {
  const std::pair<const char*, int> rows[] = {{"abc", 0}, {"123abc", 123}, {"  77", 77}, {"-5", -5}, {"+8x9", 8}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.first);
    listenport = 240;
    ASSERT_EQ(0, load(kRequired + "listenport=" + row.first + "\n"));
    EXPECT_EQ(row.second, listenport);
  }
  listenport = 240;
  ASSERT_EQ(0, load(kRequired));
  EXPECT_EQ(240, listenport);
}

TEST_F(ConfigTest, LineWithEmptyKeyOrValueOrNoEqualsIsMalformed) {
  for (const char* bad : {"\r", " ", "#comment", "=value", "key=", "serverid", "==x"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(2, load(kRequired + bad + "\n"));
    EXPECT_EQ(2, load(std::string(bad) + "\n" + kRequired));
  }
}

TEST_F(ConfigTest, MissingRequiredSettingFails) {
  EXPECT_EQ(4, load(""));
  EXPECT_EQ(4, load("\n\n"));
  SetUp();
  EXPECT_EQ(4, load("serverid =x\npassphrase=P1\ndebug=off\n"));  // blank before "=": other key
  EXPECT_EQ("", serverid);
  SetUp();
  EXPECT_EQ(4, load("serverid=S1\npassphrase= \t \ndebug=off\n"));  // white space only: stored empty
  EXPECT_EQ("", passphrase);
  SetUp();
  EXPECT_EQ(4, load("serverid=S1\npassphrase=P1\n"));
  SetUp();
  EXPECT_EQ(4, load("serverid=S1\ndebug=on\nwhitelist=x\n"));
}

TEST_F(ConfigTest, UnreadableFileFails) {
  EXPECT_EQ(1, ReadConfigFile("/tmp/kadrel-config-does-not-exist/kadrel.ini"));
  char dir[] = "/tmp/kadrel-config-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  EXPECT_EQ(1, ReadConfigFile(dir));  // opens, but every read fails
  rmdir(dir);
}

TEST_F(ConfigTest, Sha5IsSetOnlyByTrueInAnyCase) {
  for (const char* value : {"true", "TRUE", "True"}) {
    is_sha5 = value;
    EXPECT_TRUE(isSha5Set()) << value;
  }
  for (const char* value : {"yes", "1", "", "true "}) {
    is_sha5 = value;
    EXPECT_FALSE(isSha5Set()) << value;
  }
}

}  // namespace
