// The shell-backed file instructions against the real agent, as root in the start directory:
// paths with blanks, metacharacters and a leading "-" stay one literal path; relative paths
// resolve in the working directory. (Commands of accounts run as the account, in its home: the
// command tests check that.)
#include <gtest/gtest.h>

#include "AgentFixture.h"
#include "HttpServer.h"

namespace {

const char kAccount[] = "kshellfiles";
// A name that would run a command, split or expand if the shell saw it unquoted.
const std::string kOdd = "odd $(touch pwned);x *";

class ShellFiles : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
    ensureAccount(kAccount);
    base_ = dir_ + "/work dir";  // a blank in every absolute path
    shell("mkdir '" + base_ + "'");
    startAgent();
  }
  void TearDown() override {
    EXPECT_FALSE(pathExists(dir_ + "/pwned")) << "a value ran as shell text";
    AgentFixture::TearDown();
  }
  std::string base_;
};

TEST_F(ShellFiles, EachPathIsOneLiteralWordAndDownloadsGoIntoOne) {
  shell("cd '" + base_ + "' && echo x > 'f b' && printf 12 > -n && mkdir -- -d 'd b' 'src " + kOdd +
        "' && echo bc > 'src " + kOdd + "/b c'");
  const std::string valid = "valid\n\n\r\n", nothing = "\n\r\n", b = base_ + "/";
  const std::pair<std::string, std::string> cases[] = {
      {"copyfile:_:" + b + "f b:_:" + b + kOdd, nothing},
      {"isfile:_:" + b + kOdd, valid},
      {"ISFILE:_:work dir/f b", valid},  // relative: working directory
      {"isdir:_:" + b + "d b", valid},
      {"mkdir:_:" + b + "new dir/sub", nothing},
      {"mkdir:_:work dir/--version", nothing},
      {"copydir:_:" + b + "src " + kOdd + ":_:" + b + "d b", nothing},
      {"copyfile:_:work dir/-n:_:work dir/-t", nothing},
      {"filesize:_:work dir/-n", "2\twork dir/-n\n\n\r\n"},
      {"filelist:_:" + b + "d b", "b c\n\n\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(runInstruction(c.first), c.second) << c.first;
  EXPECT_EQ(readWholeFile(b + "d b/b c") + readWholeFile(b + "-t"), "bc\n12");
  EXPECT_TRUE(pathExists(b + "new dir/sub") && pathExists(b + "--version"));
  // The URL is fetched whole into one target (the server answers with what was asked for); a
  // URL that wget would take as an option is refused: no reply.
  HttpServer server([](const std::string& target) { return target; });
  EXPECT_EQ(runInstruction("downloadfile:_:" + server.url("/a file.txt") + ":_:work dir/-got"), nothing);
  EXPECT_EQ(readWholeFile(b + "-got"), "/a%20file.txt");
  EXPECT_EQ(runInstruction("downloadfile:_:--output-file=" + b + "log:_:" + b + "x"), "");
  EXPECT_FALSE(pathExists(b + "log") || pathExists(b + "x"));
}

// extract unpacks into the account's home; the archive lies in the start directory, readable by
// every account, and the agent looks for it there before anything runs.
TEST_F(ShellFiles, ExtractUnpacksIntoTheHomeWhenTheAgentFindsTheArchive) {
  shell("cd '" + dir_ + "' && echo inside > inner.txt && tar -cf 'arch ive.tar' inner.txt && rm inner.txt");
  const std::string archive = ":_:tar -xf:_:" + dir_ + "/arch ive.tar";
  EXPECT_EQ(runInstruction("extract:_:" + std::string(kAccount) + ":_:ignored" + archive), "\n\r\n");
  EXPECT_EQ(readWholeFile(std::string("/home/") + kAccount + "/inner.txt"), "inside\n");
  EXPECT_EQ(runInstruction("extract:_:x;touch pwned;y:_:" + archive), "\n\r\n");
  EXPECT_EQ(runInstruction("extract:_:" + std::string(kAccount) + ":_::_:tar -xf:_:" + dir_ + "/missing.tar"),
            "Archive is not found\r\n");
}

}  // namespace
