// File operations as an account and as root: the host's permissions apply to the account,
// readfile's line rules, writefile's contents and ownership, protected paths in their
// normalised forms, links neither followed nor deleted through, rename and move.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "AgentFixture.h"

namespace {

const char kAccount[] = "kfiles";

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

uid_t ownerOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

class FilesTest : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
    ensureAccount(kAccount);
    uid_ = static_cast<uid_t>(std::stoul(runProgram({"/usr/bin/id", "-u", kAccount}, "").out));
    home_ = std::string("/home/") + kAccount;
    // A directory of root's that the account may read but not write.
    rootDir_ = dir_ + "/rootonly";
    ASSERT_EQ(0, mkdir(rootDir_.c_str(), 0755));
    startAgent();
  }
  void TearDown() override {
    runProgram({"/bin/bash", "-c", "rm -rf " + home_ + "/t"}, "");
    AgentFixture::TearDown();
  }
  std::string reply(const std::string& instruction, const std::string& user = kAccount) {
    return replyText(instruction, user);
  }
  // A scratch directory in the account's home, owned by it.
  std::string scratch() {
    const std::string t = home_ + "/t";
    mkdir(t.c_str(), 0755);
    chown(t.c_str(), uid_, uid_);
    return t;
  }
  size_t count(const std::string& text, const std::string& what) const {
    size_t n = 0;
    for (size_t i = text.find(what); i != std::string::npos; i = text.find(what, i + 1)) ++n;
    return n;
  }

  uid_t uid_ = 0;
  std::string home_, rootDir_;
};

using ReadFile = FilesTest;
using WriteFile = FilesTest;
using DeleteFile = FilesTest;
using RenameAndMove = FilesTest;
using DelDir = FilesTest;

TEST_F(ReadFile, EveryLineEndsInALineFeedAsTheAccountMayRootReadsAll) {
  const std::string t = scratch();
  const std::string big(3 * 65536 + 7, 'z');
  writeFile(rootDir_ + "/secret", "s3cret");
  chmod((rootDir_ + "/secret").c_str(), 0600);
  const struct {
    const char* name;
    std::string contents, expected;
  } rows[] = {
      {"two", "a\nb", "a\nb\n"},
      {"two-lf", "a\nb\n", "a\nb\n\n"},
      {"empty", "", "\n"},
      {"crlf", "a\r\nb\r\n", "a\r\nb\r\n\n"},
      {"nul", std::string("a\0b", 3), std::string("a\0b\n", 4)},
      {"big", big, big + "\n"},
  };
  for (const auto& row : rows) {
    writeFile(t + "/" + row.name, row.contents);
    EXPECT_EQ(row.expected, reply("readfile:_:" + t + "/" + row.name)) << row.name;
  }
  const struct {
    std::string path, user, expected;
  } who[] = {
      {"t/two", kAccount, "a\nb\n"},  // relative to the account's home
      {t + "/missing", kAccount, ""},
      {t, kAccount, ""},  // a directory opens but cannot be read
      {rootDir_ + "/secret", kAccount, ""},
      {rootDir_ + "/secret", "RoOt", "s3cret\n"},
      {"rootonly/secret", "ROOT", "s3cret\n"},       // root works in the start directory
      {rootDir_ + "/secret", "knosuchaccount", ""},  // nothing runs, nothing is read
  };
  for (const auto& row : who) EXPECT_EQ(row.expected, reply("readfile:_:" + row.path, row.user)) << row.path;
  EXPECT_NE(std::string::npos, agentStderr().find("There was a problem with readFile: "));
  EXPECT_NE(std::string::npos, agentStderr().find("getpwnam_r()"));
}

// The agent holds a block of the file at a time, whatever its size: a 512 MiB file arrives whole
// while the agent's peak memory grows by far less than the file.
TEST_F(ReadFile, ALargeFileArrivesWholeWithTheAgentsMemoryBounded) {
  const std::string big = scratch() + "/sparse";
  shell("truncate -s 512M " + big + " && chown " + std::string(kAccount) + " " + big);
  const long before = agentStatusKiB("VmHWM:");
  auto client = sendInstruction("readfile:_:" + big, kAccount);
  unsigned long long count = 0;
  std::string last;
  ASSERT_TRUE(client->drainUntilClose(600000, count, last)) << "the reply did not end within 10 minutes";
  EXPECT_EQ(512ull * 1024 * 1024 + 3, count);
  EXPECT_EQ(std::string("\0\0\0\0\0\n\r\n", 8), last);
  const long after = agentStatusKiB("VmHWM:");
  EXPECT_LT(after - before, 64 * 1024)
      << "peak memory " << before << " KiB before, " << after << " KiB after";
}

// Neither readfile nor writefile waits on what is not a regular file (a FIFO without a peer
// would hold the agent's thread and child for ever; /dev/zero never ends): the failure reply
// at once, and nothing of the request stays in the agent.
TEST_F(ReadFile, ADeviceFifoOrSocketGetsTheFailureReplyAtOnce) {
  const std::string t = scratch();
  ASSERT_EQ(0, mkfifo((t + "/fifo").c_str(), 0666));
  ASSERT_EQ(0, symlink("/dev/zero", (t + "/zero").c_str()));
  const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, (t + "/sock").c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, listen(sock, 1));
  runProgram({"/bin/chown", "-hR", kAccount, t}, "");
  const struct {
    std::string instruction, user, expected;
  } rows[] = {
      {"readfile:_:" + t + "/fifo", kAccount, ""},
      {"readfile:_:t/zero", kAccount, ""},
      {"readfile:_:" + t + "/zero", "root", ""},
      {"readfile:_:" + t + "/sock", kAccount, ""},
      {"writefile:_:" + t + "/fifo:_:x", kAccount, "Failed"},
      {"writefile:_:" + t + "/zero:_:x", kAccount, "Failed"},
      {"writefile:_:" + t + "/sock:_:x", "root", "Failed"},
  };
  for (const auto& row : rows) {
    // Counted, not collected: an agent that reads /dev/zero sends without end.
    unsigned long long count = 0;
    std::string got;
    EXPECT_TRUE(sendInstruction(row.instruction, row.user)->drainUntilClose(60000, count, got, 64))
        << row.instruction;
    EXPECT_EQ(row.expected.empty() ? "" : row.expected + "\r\n", got) << row.instruction;
    EXPECT_EQ(got.size(), count) << row.instruction;
  }
  close(sock);
  EXPECT_TRUE(waitUntil([&] { return agentStatusKiB("Threads:") == kIdleAgentThreads; }, 60000))
      << agentStatusKiB("Threads:") << " threads";
  EXPECT_EQ("", agentChildren());
}

TEST_F(WriteFile, ContentsWholeOwnedByTheWriterFailedWhenItCannotBeWritten) {
  const std::string t = scratch();
  const std::string contents("one\0two\nthree", 13);
  EXPECT_EQ("Created", reply("writefile:_:" + t + "/new:_:" + contents));
  EXPECT_EQ(contents, readWholeFile(t + "/new"));
  EXPECT_EQ(uid_, ownerOf(t + "/new"));
  EXPECT_EQ("Created", reply("writefile:_:t/new:_:"));
  EXPECT_EQ("", readWholeFile(t + "/new")) << "empty contents truncate";
  EXPECT_EQ("Created", reply("writefile:_:" + t + "/cut:_:a:_:b"));
  EXPECT_EQ("a", readWholeFile(t + "/cut")) << "the separator ends the contents";

  EXPECT_EQ("Created", reply("writefile:_:" + rootDir_ + "/byroot:_:x", "root"));
  EXPECT_EQ(0u, ownerOf(rootDir_ + "/byroot"));

  // A file of root's that everybody may write: written, but it stays root's.
  writeFile(dir_ + "/shared", "old");
  chmod((dir_ + "/shared").c_str(), 0666);
  EXPECT_EQ("Created", reply("writefile:_:" + dir_ + "/shared:_:new"));
  EXPECT_EQ("new", readWholeFile(dir_ + "/shared"));
  EXPECT_EQ(0u, ownerOf(dir_ + "/shared"));
  EXPECT_NE(std::string::npos, agentStderr().find("chown() error"));

  EXPECT_EQ("Failed", reply("writefile:_:" + rootDir_ + "/denied:_:x"));
  EXPECT_FALSE(pathExists(rootDir_ + "/denied"));
  EXPECT_EQ(1u, count(agentStdout(), "\nCannot open output file\n"));
  // A write that fails on a full file system (a 4 KiB one here) is a failure too.
  const std::string full = dir_ + "/full";
  ASSERT_EQ(0, mkdir(full.c_str(), 0755));
  ASSERT_EQ("", shell("mount -t tmpfs -o size=4k tmpfs " + full + " 2>&1"));
  EXPECT_EQ("Failed", reply("writefile:_:" + full + "/f:_:" + std::string(65536, 'x'), "root"));
  shell("umount " + full);
  EXPECT_NE(std::string::npos,
            agentStderr().find("There was a problem with writefile: No space left on device"));
  EXPECT_EQ("", reply("writefile:_:" + t + "/ghost:_:x", "knosuchaccount"));
  EXPECT_FALSE(pathExists(t + "/ghost"));
}

TEST_F(DeleteFile, FilesLinksAndDirectoriesWithTheAccountsPermissionsProtectedPathsNotFound) {
  const std::string t = scratch();
  writeFile(t + "/f", "x");
  writeFile(t + "/target", "x");
  ASSERT_EQ(0, symlink((t + "/target").c_str(), (t + "/link").c_str()));
  ASSERT_EQ(0, symlink("/no/such/target", (t + "/dangling").c_str()));
  ASSERT_EQ(0, mkdir((t + "/emptydir").c_str(), 0755));
  ASSERT_EQ(0, mkdir((t + "/fulldir").c_str(), 0755));
  writeFile(t + "/fulldir/x", "x");
  runProgram({"/bin/chown", "-R", kAccount, t}, "");
  ASSERT_EQ(0, symlink("/", (t + "/root").c_str()));
  writeFile(rootDir_ + "/rootfile", "x");
  const struct {
    std::string path, user, expected;
  } rows[] = {
      {t + "/f", kAccount, "File deleted"},
      {t + "/link", kAccount, "File deleted"},
      {t + "/dangling", kAccount, "File not found"},  // the status check follows the link
      {t + "/emptydir", kAccount, "File deleted"},
      {t + "/fulldir", kAccount, "Error deleting file"},
      {t + "/missing", kAccount, "File not found"},
      {rootDir_ + "/rootfile", kAccount, "Error deleting file"},
      {rootDir_ + "/rootfile", "root", "File deleted"},
      // Protected paths in any form, even for root (every form: unit tests of checkRemove).
      {"/etc/.", "root", "File not found"},
      {"//home/", "root", "File not found"},
      {"/usr/local/..", "root", "File not found"},
      {t + "/root/etc", "root", "File not found"},
      {"", "root", "File not found"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(row.expected, reply("deletefile:_:" + row.path, row.user)) << row.path;
  EXPECT_FALSE(pathExists(t + "/link"));
  for (const std::string& kept : {t + "/target", t + "/dangling", t + "/fulldir/x", std::string("/etc"),
                                  std::string("/home"), std::string("/usr")})
    EXPECT_TRUE(pathExists(kept)) << kept;
}

TEST_F(RenameAndMove, RenameReplacesMoveRefusesANonEmptyTarget) {
  const std::string t = scratch();
  writeFile(t + "/a", "A");
  writeFile(t + "/b", "B");
  ASSERT_EQ(0, mkdir((t + "/d1").c_str(), 0755));
  ASSERT_EQ(0, mkdir((t + "/d2").c_str(), 0755));
  writeFile(t + "/d2/x", "x");
  writeFile(rootDir_ + "/r", "r");
  runProgram({"/bin/chown", "-R", kAccount, t}, "");
  const struct {
    std::string instruction, expected;
  } rows[] = {
      {"renamefile:_:" + t + "/a:_:" + t + "/b", "File renamed"},
      {"renamefile:_:" + t + "/a:_:" + t + "/c", "Error renaming file"},
      {"RENAMEFILE:_:" + rootDir_ + "/r:_:" + t + "/r", "Error renaming file"},  // not the account's
      {"movedir:_:" + t + "/d1:_:" + t + "/d2", "Error moving rirectory"},
      {"movedir:_:" + t + "/d1:_:t/d3", "Directory moved"},
      {"movedir:_:" + t + "/missing:_:" + t + "/d4", "Error moving rirectory"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.expected, reply(row.instruction)) << row.instruction;
  EXPECT_EQ("A", readWholeFile(t + "/b"));
  EXPECT_TRUE(pathExists(t + "/d3"));
  EXPECT_TRUE(pathExists(rootDir_ + "/r"));
}

TEST_F(DelDir, RemovesTheTreeNeverThroughALinkAndAnswersFailedWhenAnEntryStays) {
  const std::string t = scratch();
  writeFile(dir_ + "/outside", "kept");
  ASSERT_EQ(0, mkdir((t + "/tree").c_str(), 0755));
  ASSERT_EQ(0, mkdir((t + "/tree/sub").c_str(), 0755));
  writeFile(t + "/tree/sub/f", "x");
  ASSERT_EQ(0, symlink(dir_.c_str(), (t + "/tree/sub/dirlink").c_str()));
  ASSERT_EQ(0, symlink(dir_.c_str(), (t + "/startlink").c_str()));
  writeFile(t + "/plain", "x");
  runProgram({"/bin/chown", "-hR", kAccount, t}, "");
  const std::pair<std::string, std::string> rows[] = {
      {t + "/tree", "Directory removed"},
      {t + "/startlink/", "Directory removed"},  // only the link goes
      {t + "/plain", "Directory removed"},
      {t + "/missing", "Directory removed"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.second, reply("deldir:_:" + row.first)) << row.first;
  for (const char* gone : {"/tree", "/startlink", "/plain"}) EXPECT_FALSE(pathExists(t + gone)) << gone;
  EXPECT_EQ("kept", readWholeFile(dir_ + "/outside"));

  // An entry the account may not remove stops the walk: "Failed", not success.
  ASSERT_EQ(0, mkdir((t + "/tree").c_str(), 0755));
  ASSERT_EQ(0, mkdir((t + "/tree/rootsub").c_str(), 0755));
  writeFile(t + "/tree/rootsub/f", "x");
  chown((t + "/tree").c_str(), uid_, uid_);
  EXPECT_EQ("Failed", reply("deldir:_:" + t + "/tree"));
  EXPECT_TRUE(pathExists(t + "/tree/rootsub/f"));
  EXPECT_EQ(1u, count(agentStderr(), "There was a problem with removeDirectory() 1"));
  EXPECT_EQ("Directory removed", reply("deldir:_:" + t + "/tree", "root"));
  EXPECT_FALSE(pathExists(t + "/tree"));
}

}  // namespace
