// The shell-backed file instructions against the real agent, as root (working directory: the
// start directory) and as an account (its home): paths with blanks, metacharacters and a
// leading "-" stay one literal path; relative paths resolve in the working directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "AgentFixture.h"
#include "HttpServer.h"

namespace {

const char kAccount[] = "kshellfiles";
// A name that would run a command, split or expand if the shell saw it unquoted.
const std::string kOdd = "odd $(touch pwned);x *";

class ShellFiles : public AgentFixture, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
    ensureAccount(kAccount);
    user_ = GetParam();
    home_ = user_ == "root" ? dir_ : std::string("/home/") + kAccount;
    base_ = home_ + "/work dir";  // a blank in every absolute path
    shell("rm -rf '" + base_ + "' " + home_ + "/pwned && mkdir '" + base_ + "'");
    prepare("true");
    startAgent();
  }
  void TearDown() override {
    EXPECT_FALSE(pathExists(home_ + "/pwned")) << "a value ran as shell text";
    shell("rm -rf '" + base_ + "'");
    AgentFixture::TearDown();
  }
  std::string run(const std::string& instruction) { return runInstruction(instruction, user_); }
  // Runs `line` as root in base_, then hands the files to the acting account.
  void prepare(const std::string& line) {
    shell("cd '" + base_ + "' && " + line);
    if (user_ != "root") shell("chown -R " + std::string(kAccount) + ": '" + base_ + "'");
  }
  std::string user_, home_, base_;
};

INSTANTIATE_TEST_SUITE_P(AsRootAndAccount, ShellFiles, ::testing::Values("root", kAccount));

TEST_P(ShellFiles, EachPathIsOneLiteralWordAndDownloadsGoIntoOne) {
  prepare("echo x > 'f b' && mkdir 'd b' && ln -s nowhere dangling && echo x > '" + kOdd +
          "' && printf 12 > -n && mkdir -- -d 'src " + kOdd + "' && echo bc > 'src " + kOdd + "/b c'");
  const std::string valid = "valid\n\n\r\n", nothing = "\n\r\n", b = base_ + "/";
  const std::pair<std::string, std::string> cases[] = {
      {"isfile:_:" + b + "f b", valid},
      {"isfile:_:" + b + "d b", nothing},
      {"isdir:_:" + b + "d b", valid},
      {"isfile:_:" + b + "dangling", nothing},
      {"isfile:_:" + b + kOdd, valid},
      {"isfile:_:" + b + "f", nothing},
      {"ISFILE:_:work dir/f b", valid},  // relative: working directory
      {"isdir:_:work dir/-d", valid},
      {"mkdir:_:" + b + "new dir/sub", nothing},
      {"mkdir:_:work dir/--version", nothing},
      {"copydir:_:" + b + "src " + kOdd + ":_:" + b + "d b", nothing},
      {"copyfile:_:work dir/-n:_:work dir/-t", nothing},
      {"copyfile:_:" + b + "f b:_:" + b + kOdd, nothing},
      {"filesize:_:work dir/-n", "2\twork dir/-n\n\n\r\n"},
      {"filelist:_:" + b + "d b", "b c\n\n\r\n"},
      {"filelist:_:work dir/-n", "work dir/-n\n\n\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(run(c.first), c.second) << c.first;
  EXPECT_EQ(readWholeFile(b + "d b/b c"), "bc\n");
  EXPECT_EQ(readWholeFile(b + "-t"), "12");
  EXPECT_EQ(readWholeFile(b + kOdd), "x\n");
  for (const std::string& made : {b + "new dir/sub", b + "--version"}) {
    struct stat st;
    ASSERT_EQ(stat(made.c_str(), &st), 0) << made;
    EXPECT_EQ(st.st_uid == 0, user_ == "root") << made;
  }
  EXPECT_FALSE(pathExists(b + "odd") || pathExists(b + "new"));
  // Fetched into one target; a URL that wget would take as an option is refused: no reply.
  HttpServer server([](const std::string&) { return std::string("document body\n"); });
  EXPECT_EQ(run("downloadfile:_:" + server.url("/a file.txt") + ":_:work dir/-got"), "\n\r\n");
  EXPECT_EQ(readWholeFile(b + "-got"), "document body\n");
  EXPECT_EQ(server.targets(), (std::vector<std::string>{"/a%20file.txt"}));
  EXPECT_EQ(run("downloadfile:_:--output-file=" + b + "log:_:" + b + "x"), "");
  EXPECT_FALSE(pathExists(b + "log") || pathExists(b + "x"));
}

TEST_P(ShellFiles, ExtractUnpacksIntoTheHomeWhenTheAgentFindsTheArchive) {
  // The archive lies in the start directory, readable by every account.
  shell("cd '" + dir_ +
        "' && mkdir -p pack && echo inside > pack/inner.txt && tar -cf 'arch ive.tar' -C pack "
        "inner.txt && chmod 644 'arch ive.tar' && rm -f /home/" +
        kAccount + "/inner.txt");
  const std::string archive = ":_:tar -xf:_:" + dir_ + "/arch ive.tar";
  EXPECT_EQ(run("extract:_:" + std::string(kAccount) + ":_:ignored" + archive), "\n\r\n");
  EXPECT_EQ(readWholeFile(std::string("/home/") + kAccount + "/inner.txt"), "inside\n");
  EXPECT_EQ(run("extract:_:x;touch pwned;y:_:" + archive), "\n\r\n");
  // Checked by the agent against its own directory, as root: the home's copy does not count.
  shell("cp '" + dir_ + "/arch ive.tar' /home/" + kAccount + "/only-home.tar");
  for (const std::string& missing : {dir_ + "/missing.tar", std::string("only-home.tar")})
    EXPECT_EQ(run("extract:_:" + std::string(kAccount) + ":_::_:tar -xf:_:" + missing),
              "Archive is not found\r\n");
}

}  // namespace
