// File operations as an account and as root: the host's permissions apply to the account,
// readfile's line rules, writefile's contents and ownership, what is not a regular file,
// protected paths, links neither followed nor deleted through, NUL bytes in paths, removals of
// deep trees, and the directory checksum listing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "AgentFixture.h"
#include "dispatch/PeerWatch.h"

namespace {

const char kAccount[] = "kfiles";

// A chain of `depth` directories "d" below `top`, owned by `uid`: made relative to descriptors,
// as no path may be that long.
void makeChain(const std::string& top, int depth, uid_t uid) {
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < depth && fd >= 0; ++i) {
    if (mkdirat(fd, "d", 0755) != 0 || fchownat(fd, "d", uid, uid, 0) != 0) break;
    const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  close(fd);
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
    uid_ = ownerOf(home_);
    t_ = home_ + "/t";              // a scratch directory of the account's
    rootDir_ = dir_ + "/rootonly";  // one of root's the account may only read
    shell("rm -rf " + t_ + " && mkdir " + t_ + " " + rootDir_);
    prepare("true");
    startAgent();
  }
  // Runs `line` as root in the scratch directory, then hands it (links included) to the account.
  void prepare(const std::string& line) {
    shell("cd " + t_ + " && " + line + "; chown -hR " + kAccount + ": " + t_);
  }
  std::string reply(const std::string& instruction, const std::string& user = kAccount) {
    return replyText(instruction, user);
  }
  uid_t uid_ = 0;
  const std::string home_ = std::string("/home/") + kAccount;
  std::string t_, rootDir_;
};

using ReadFile = FilesTest;
using WriteFile = FilesTest;
using DeleteFile = FilesTest;
using DelDir = FilesTest;
using DirectoryMd5 = FilesTest;

// Every line ends in a line feed; the account reads what the host lets it; neither readfile
// nor writefile waits on what is not a regular file (a FIFO without a peer would hold the
// agent's thread for ever, /dev/zero never ends): the failure reply at once, and nothing of the
// request stays in the agent.
TEST_F(ReadFile, LineRulesPermissionsAndNothingButRegularFiles) {
  prepare(
      "printf 'a\\r\\nb' > two; printf 'a\\0b\\n' > nul; mkfifo -m 666 fifo; ln -s /dev/zero zero; printf "
      "s3cret > " +
      rootDir_ + "/secret; chmod 600 " + rootDir_ + "/secret");
  const size_t idle = agentDescriptors();
  const struct {
    std::string instruction, user, expected;
  } rows[] = {
      {"readfile:_:" + t_ + "/two", kAccount, "a\r\nb\n\r\n"},
      {"readfile:_:t/nul", kAccount, std::string("a\0b\n\n\r\n", 7)},  // relative to the account's home
      {"readfile:_:" + t_ + std::string("/two\0/nul", 9), kAccount, ""},
      {"readfile:_:" + t_ + "/missing", kAccount, ""},
      {"readfile:_:" + rootDir_ + "/secret", kAccount, ""},
      {"readfile:_:rootonly/secret", "RoOt", "s3cret\n\r\n"},  // root works in the start directory
      {"readfile:_:" + rootDir_ + "/secret", "knosuchaccount", ""},
      {"readfile:_:" + t_ + "/fifo", kAccount, ""},
      {"readfile:_:t/zero", kAccount, ""},
      {"readfile:_:" + t_ + "/zero", "root", ""},
      {"writefile:_:" + t_ + "/fifo:_:x", kAccount, "Failed\r\n"},
      {"writefile:_:" + t_ + "/zero:_:x", "root", "Failed\r\n"},
  };
  for (const auto& row : rows) {
    // Counted, not collected: an agent that reads /dev/zero sends without end.
    unsigned long long count = 0;
    std::string got;
    EXPECT_TRUE(sendInstruction(row.instruction, row.user)->drainUntilClose(60000, count, got, 64));
    EXPECT_EQ(row.expected, got) << row.instruction;
    EXPECT_EQ(got.size(), count) << row.instruction;
  }
  expectIdle(idle);
}

// The agent holds a block of the file at a time: a 512 MiB file arrives whole while the agent's
// peak memory grows by far less than the file.
TEST_F(ReadFile, ALargeFileArrivesWholeWithTheAgentsMemoryBounded) {
  prepare("truncate -s 512M sparse");
  const long before = agentStatus("VmHWM:");
  unsigned long long count = 0;
  std::string last;
  ASSERT_TRUE(
      sendInstruction("readfile:_:" + t_ + "/sparse", kAccount)->drainUntilClose(600000, count, last));
  EXPECT_EQ(512ull * 1024 * 1024 + 3, count);
  EXPECT_EQ(std::string("\0\0\0\0\0\n\r\n", 8), last);
  EXPECT_LT(agentStatus("VmHWM:") - before, 64 * 1024) << "peak memory grew with the file";
}

TEST_F(WriteFile, ContentsWholeOwnedByTheWriterFailedWhenItCannotBeWritten) {
  const std::string contents("one\0two\nthree", 13);
  EXPECT_EQ("Created", reply("writefile:_:" + t_ + "/new:_:" + contents));
  EXPECT_EQ(contents, readWholeFile(t_ + "/new"));
  EXPECT_EQ(uid_, ownerOf(t_ + "/new"));
  EXPECT_EQ("Created", reply("writefile:_:t/new:_:a:_:b"));
  EXPECT_EQ("a", readWholeFile(t_ + "/new")) << "truncated; the separator ends the contents";
  EXPECT_EQ("Failed", reply("writefile:_:" + t_ + std::string("/new\0/x:_:y", 11)));
  EXPECT_FALSE(pathExists(t_ + "/x") || readWholeFile(t_ + "/new") != "a");
  // A file of root's that everybody may write: written, but it stays root's.
  shell("echo old > " + dir_ + "/shared && chmod 666 " + dir_ + "/shared");
  EXPECT_EQ("Created", reply("writefile:_:" + dir_ + "/shared:_:new"));
  EXPECT_EQ("new", readWholeFile(dir_ + "/shared"));
  EXPECT_EQ(0u, ownerOf(dir_ + "/shared"));
  EXPECT_EQ("Failed", reply("writefile:_:" + rootDir_ + "/denied:_:x"));
  EXPECT_FALSE(pathExists(rootDir_ + "/denied"));
  // A write that fails on a full file system (a 4 KiB one here) is a failure too.
  const std::string full = dir_ + "/full";
  ASSERT_EQ("", shell("mkdir " + full + " && mount -t tmpfs -o size=4k tmpfs " + full + " 2>&1"));
  EXPECT_EQ("Failed", reply("writefile:_:" + full + "/f:_:" + std::string(65536, 'x'), "root"));
  shell("umount " + full);
  EXPECT_TRUE(logged("There was a problem with writefile: No space left on device"));
}

TEST_F(DeleteFile, FilesAndLinksWithTheAccountsPermissionsProtectedPathsNotFound) {
  prepare("touch f target " + rootDir_ + "/rootfile && ln -s " + t_ +
          "/target link && mkdir full && touch full/x");
  shell("ln -s / " + t_ + "/root");
  const struct {
    std::string path, user, expected;
  } rows[] = {
      {t_ + "/link", kAccount, "File deleted"},
      {t_ + "/full", kAccount, "Error deleting file"},
      {t_ + "/missing", kAccount, "File not found"},
      {t_ + std::string("/f\0/target", 10), kAccount, "File not found"},
      {rootDir_ + "/rootfile", kAccount, "Error deleting file"},
      {rootDir_ + "/rootfile", "root", "File deleted"},
      // Protected paths in any form, even for root.
      {"/etc/.", "root", "File not found"},
      {"//home/", "root", "File not found"},
      {"/usr/local/..", "root", "File not found"},
      {t_ + "/root/etc", "root", "File not found"},
      {"", "root", "File not found"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(row.expected, reply("deletefile:_:" + row.path, row.user)) << row.path;
  EXPECT_FALSE(pathExists(t_ + "/link"));
  for (const std::string& kept : {t_ + "/f", t_ + "/target", t_ + "/full/x", std::string("/etc/passwd")})
    EXPECT_TRUE(pathExists(kept)) << kept;
}

TEST_F(DelDir, RemovesTheTreeNeverThroughALinkAndAnswersFailedWhenAnEntryStays) {
  prepare("echo kept > " + dir_ + "/outside && mkdir -p tree/sub && touch tree/sub/f && ln -s " + dir_ +
          " tree/sub/dirlink && ln -s " + dir_ + " startlink");
  for (const std::string& path : {t_ + "/tree", t_ + "/startlink/", t_ + "/missing"})
    EXPECT_EQ("Directory removed", reply("deldir:_:" + path)) << path;
  EXPECT_FALSE(pathExists(t_ + "/tree") || pathExists(t_ + "/startlink"));
  EXPECT_EQ("kept\n", readWholeFile(dir_ + "/outside"));
  // An entry the account may not remove stops the walk: "Failed", not success.
  shell("mkdir -p " + t_ + "/tree/rootsub && touch " + t_ + "/tree/rootsub/f && chown " + kAccount + ": " +
        t_ + "/tree");
  // Also when the directory itself stays ("/."): only its contents were to go.
  for (const std::string& path : {t_ + "/tree", t_ + "/tree/."})
    EXPECT_EQ("Failed", reply("deldir:_:" + path));
  EXPECT_TRUE(pathExists(t_ + "/tree/rootsub/f"));
  // So is a tree the account may not even look at.
  shell("mkdir -p " + t_ + "/closed/tree && chmod 700 " + t_ + "/closed");
  EXPECT_EQ("Failed", reply("deldir:_:" + t_ + "/closed/tree"));
  EXPECT_TRUE(pathExists(t_ + "/closed/tree"));
}

// A tree far deeper than any path may be long goes whole; what a removal has to leave (a file
// system mounted in the home) is a failure, never success.
TEST_F(DelDir, DeepChainsGoWholeAndWhatStaysIsAFailure) {
  makeChain(t_, 3000, uid_);
  EXPECT_EQ("Directory removed", reply("deldir:_:" + t_ + "/d"));
  EXPECT_FALSE(pathExists(t_ + "/d"));
  ASSERT_EQ(0, mkdir((home_ + "/mnt").c_str(), 0700));
  ASSERT_EQ(0, mount("tmpfs", (home_ + "/mnt").c_str(), "tmpfs", 0, nullptr));
  EXPECT_EQ("fail", reply("removeserver:_:7"));
  EXPECT_TRUE(pathExists(home_ + "/mnt"));
  ASSERT_EQ(0, umount((home_ + "/mnt").c_str()));
}

// Digests equal md5sum's, whoever asks (the walk is the agent's own); a file root cannot read
// gets an empty digest; a FIFO, a link to /dev/zero, a dangling link and a link out of the tree
// get no key.
TEST_F(DirectoryMd5, DigestsEqualMd5sumsAndOddEntriesGetNoKey) {
  const std::string tree = t_ + "/md5";
  prepare(
      "mkdir -p md5/sub && cd md5 && head -c 100000 /dev/urandom > big && echo hello > sub/inner && mkfifo "
      "fifo && ln -s /dev/zero zero && ln -s nowhere dangling && ln -s /etc/shadow out && ln -s ../big "
      "sub/tobig && : > locked");
  ASSERT_EQ(mount("/proc/sys/vm/drop_caches", (tree + "/locked").c_str(), nullptr, MS_BIND, nullptr), 0);
  std::istringstream sums(shell("cd " + tree + " && md5sum big sub/inner sub/tobig; echo '- locked'"));
  std::vector<std::string> members;  // as the JSON writer writes them, "/" as "\/"
  for (std::string digest, name; sums >> digest && std::getline(sums >> std::ws, name);) {
    std::string key = tree + "/" + name;
    for (size_t at = 0; (at = key.find('/', at)) != std::string::npos; at += 2) key.insert(at, "\\");
    members.push_back("\"" + key + "\": \"" + (digest == "-" ? "" : digest) + "\"");
  }
  for (const char* user : {"root", kAccount}) {
    const std::string reply = runInstruction("directorymd5:_:" + tree, user, "yes", 60000);
    for (const std::string& member : members)
      EXPECT_NE(reply.find(member), std::string::npos) << member << reply;
    EXPECT_EQ(static_cast<size_t>(std::count(reply.begin(), reply.end(), '\n')), members.size() + 3)
        << reply;  // braces, CR LF
  }
  umount((tree + "/locked").c_str());
}

// A listing that would hash for weeks (a file of 1 PiB, nearly all hole) stops once its panel
// has gone: its threads end, and the agent answers the next panel.
TEST_F(DirectoryMd5, AListingForAPanelThatHasGoneStops) {
  prepare("truncate -s 1P huge");
  {
    auto client = sendInstruction("directorymd5:_:" + t_);
    ASSERT_TRUE(waitUntil([&] {
      return shell("ls -l /proc/" + std::to_string(pid_) + "/fd").find(t_ + "/huge") != std::string::npos;
    })) << "the file is never read";
  }  // the panel goes
  EXPECT_TRUE(waitUntil([&] { return agentStatus("Threads:") == kIdleAgentThreads; }, 60000))
      << "the listing went on for nobody";
  EXPECT_NE(agentStderr().find(kPeerGoneWarning), std::string::npos);
}

}  // namespace
