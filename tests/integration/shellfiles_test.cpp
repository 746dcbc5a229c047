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

// The account's files must be its own, so that its commands may change them.
void giveTo(const std::string& user, const std::string& path) {
  if (user != "root") shell("chown -R " + std::string(kAccount) + ": '" + path + "'");
}

class ShellFiles : public AgentFixture, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
    ensureAccount(kAccount);
    if (HasFatalFailure()) return;
    user_ = GetParam();
    home_ = user_ == "root" ? dir_ : std::string("/home/") + kAccount;
    base_ = home_ + "/work dir";  // a blank in every absolute path
    shell("rm -rf '" + base_ + "' && mkdir '" + base_ + "'");
    giveTo(user_, base_);
    startAgent();
  }
  void TearDown() override {
    shell("rm -rf '" + base_ + "'");
    AgentFixture::TearDown();
  }
  std::string run(const std::string& instruction) { return runInstruction(instruction, user_); }
  // Runs `line` as root in base_, then hands the files to the acting account.
  void prepare(const std::string& line) {
    shell("cd '" + base_ + "' && " + line);
    giveTo(user_, base_);
  }

  std::string user_, home_, base_;
};

INSTANTIATE_TEST_SUITE_P(AsRootAndAccount, ShellFiles, ::testing::Values("root", kAccount));

// A name that would run a command, split or expand if the shell saw it unquoted.
const std::string kOdd = "odd $(touch pwned);x *";

TEST_P(ShellFiles, IsFileAndIsDirTestOnePathWhateverItHolds) {
  prepare(
      "echo x > 'f b' && mkdir 'd b' && ln -s 'd b' linkdir && ln -s 'f b' linkfile && ln -s nowhere dangling"
      " && echo x > '" +
      kOdd + "' && echo x > -n && mkdir -- -d");
  const std::string valid = "valid\n\n\r\n", nothing = "\n\r\n", b = base_ + "/";
  const struct {
    std::string instruction, reply;
  } cases[] = {
      {"isfile:_:" + b + "f b", valid},      {"isfile:_:" + b + "d b", nothing},
      {"isdir:_:" + b + "d b", valid},       {"isdir:_:" + b + "linkdir", valid},
      {"isfile:_:" + b + "linkfile", valid}, {"isfile:_:" + b + "dangling", nothing},
      {"isfile:_:" + b + kOdd, valid},       {"isfile:_:" + b + "f", nothing},
      {"ISFILE:_:work dir/f b", valid},  // relative: working directory
      {"isfile:_:work dir/-n", valid},       {"isdir:_:work dir/-d", valid},
  };
  for (const auto& c : cases) EXPECT_EQ(run(c.instruction), c.reply) << c.instruction;
  EXPECT_FALSE(pathExists(home_ + "/pwned"));
}

TEST_P(ShellFiles, MkdirMakesOneDirectoryForOnePath) {
  const std::string b = base_ + "/";
  for (const std::string& path :
       {b + "new dir/sub", b + kOdd, std::string("work dir/--version"), std::string("work dir/-p x")})
    EXPECT_EQ(run("mkdir:_:" + path), "\n\r\n") << path;
  for (const std::string& made : {b + "new dir/sub", b + kOdd, b + "--version", b + "-p x"}) {
    struct stat st;
    ASSERT_EQ(stat(made.c_str(), &st), 0) << made;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << made;
    if (user_ != "root") {
      EXPECT_NE(st.st_uid, 0u) << made;
    }
  }
  EXPECT_FALSE(pathExists(b + "new"));
  EXPECT_FALSE(pathExists(b + "odd"));
  EXPECT_FALSE(pathExists(home_ + "/pwned"));
}

TEST_P(ShellFiles, CopyDirCopyFileAndFileSizeTakeEachPathAsOneWord) {
  prepare("mkdir -p 'src " + kOdd + "/sub' empty 'to dir' 'to dir 2' && echo a > 'src " + kOdd +
          "/a' && echo bc > 'src " + kOdd + "/b c' && echo x > 'src " + kOdd + "/sub/x'");
  const std::string b = base_ + "/";
  EXPECT_EQ(run("copydir:_:" + b + "src " + kOdd + ":_:" + b + "to dir"), "\n\r\n");
  EXPECT_EQ(readWholeFile(b + "to dir/a"), "a\n");
  EXPECT_EQ(readWholeFile(b + "to dir/b c"), "bc\n");
  EXPECT_EQ(readWholeFile(b + "to dir/sub/x"), "x\n");
  EXPECT_FALSE(pathExists(b + "to dir/src " + kOdd));
  // Relative, and from an empty source: the pattern matches nothing, nothing is copied.
  EXPECT_EQ(run("copydir:_:work dir/src " + kOdd + ":_:work dir/to dir 2"), "\n\r\n");
  EXPECT_EQ(readWholeFile(b + "to dir 2/b c"), "bc\n");
  EXPECT_EQ(run("copydir:_:" + b + "empty:_:" + b + "to dir 2"), "\n\r\n");
  EXPECT_EQ(shell("ls -A '" + b + "empty'"), "");

  prepare("printf 1234567 > 'f b' && printf 12 > -n");
  EXPECT_EQ(run("copyfile:_:" + b + "f b:_:" + b + kOdd), "\n\r\n");
  EXPECT_EQ(readWholeFile(b + kOdd), "1234567");
  EXPECT_EQ(run("copyfile:_:work dir/-n:_:work dir/-t"), "\n\r\n");
  EXPECT_EQ(readWholeFile(b + "-t"), "12");
  EXPECT_EQ(run("filesize:_:" + b + "f b"), "7\t" + b + "f b\n\n\r\n");
  EXPECT_EQ(run("filesize:_:work dir/-n"), "2\twork dir/-n\n\n\r\n");
  EXPECT_EQ(run("filesize:_:work dir/missing"), "\n\r\n");
  EXPECT_FALSE(pathExists(home_ + "/pwned"));
}

TEST_P(ShellFiles, FileListsShowOneDirectory) {
  prepare("mkdir list && cd list && echo > 'x y' && echo > .hidden && echo > z.txt && echo > '" + kOdd + "'");
  EXPECT_EQ(run("filelist:_:" + base_ + "/list"), kOdd + "\nx y\nz.txt\n\n\r\n");
  EXPECT_EQ(run("filelist:_:work dir/list/x y"), "work dir/list/x y\n\n\r\n");
  const std::string long_ = run("filelist2:_:work dir/list");
  for (const std::string& name : {std::string(" .hidden\n"), std::string(" x y\n"), " " + kOdd + "\n",
                                  std::string(" ..\n"), std::string(" .\n")})
    EXPECT_NE(long_.find(name), std::string::npos) << name << " in " << long_;
  EXPECT_EQ(long_.compare(0, 6, "total "), 0) << long_;
}

TEST_P(ShellFiles, ExtractUnpacksIntoTheHomeWhenTheAgentFindsTheArchive) {
  // The archive lies in the start directory, readable by every account.
  shell("cd '" + dir_ +
        "' && mkdir -p pack && echo inside > pack/inner.txt && tar -cf 'arch ive.tar' -C pack "
        "inner.txt && chmod 644 'arch ive.tar'");
  shell("rm -f /home/" + std::string(kAccount) + "/inner.txt");
  const std::string target = std::string("/home/") + kAccount + "/inner.txt";
  EXPECT_EQ(run("extract:_:" + std::string(kAccount) + ":_:ignored:_:tar -xf:_:" + dir_ + "/arch ive.tar"),
            "\n\r\n");
  EXPECT_EQ(readWholeFile(target), "inside\n");
  // Checked by the agent against its own directory, as root: the home's copy does not count.
  shell("cp '" + dir_ + "/arch ive.tar' /home/" + kAccount + "/only-home.tar");
  for (const std::string& archive : {dir_ + "/missing.tar", std::string("only-home.tar")})
    EXPECT_EQ(run("extract:_:" + std::string(kAccount) + ":_::_:tar -xf:_:" + archive),
              "Archive is not found\r\n")
        << archive;
}

TEST_P(ShellFiles, DownloadFileFetchesIntoOneTarget) {
  HttpServer server([](const std::string&) { return std::string("document body\n"); });
  const std::string b = base_ + "/";
  EXPECT_EQ(run("downloadfile:_:" + server.url("/a file.txt") + ":_:" + b + kOdd), "\n\r\n");
  EXPECT_EQ(readWholeFile(b + kOdd), "document body\n");
  EXPECT_EQ(run("downloadfile:_:" + server.url("/second") + ":_:work dir/-got"), "\n\r\n");
  EXPECT_EQ(readWholeFile(b + "-got"), "document body\n");
  const std::vector<std::string> targets = server.targets();
  ASSERT_EQ(targets.size(), 2u);
  EXPECT_EQ(targets[0], "/a%20file.txt");
  // A URL that wget would take as an option is refused: nothing runs, no reply.
  EXPECT_EQ(run("downloadfile:_:--output-file=" + b + "log:_:" + b + "x"), "");
  EXPECT_FALSE(pathExists(b + "log"));
  EXPECT_FALSE(pathExists(b + "x"));
  EXPECT_FALSE(pathExists(home_ + "/pwned"));
  if (user_ != "root") {
    struct stat st;
    ASSERT_EQ(stat((b + "-got").c_str(), &st), 0);
    EXPECT_NE(st.st_uid, 0u);
  }
}

}  // namespace
