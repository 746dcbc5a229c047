// File operations as an account and as root: the host's permissions apply to the account,
// readfile's line rules, writefile's contents and ownership, what is not a regular file,
// protected paths, links neither followed nor deleted through, NUL bytes in paths, removals of
// deep trees, and the directory checksum listing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>

#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <functional>
#include <map>
#include <sstream>
#include <tuple>

#include "AgentFixture.h"
#include "exec/PeerWatch.h"

namespace {

const char kAccount[] = "kfiles";

class Files : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
    ensureAccount(kAccount);
    rootDir_ = dir_ + "/rootonly";  // one of root's the account may only read
    shell("mkdir " + t_ + " " + rootDir_);
    startAgent();
  }
  // Runs `line` as root in the scratch directory, then hands it (links included) to the account.
  std::string prepare(const std::string& line) {
    return shell("cd " + t_ + " && " + line + "; chown -hR " + kAccount + ": " + t_);
  }
  const std::string t_ = std::string("/home/") + kAccount + "/t";  // a scratch directory of the account's
  std::string rootDir_;
};

using DelDir = Files;
using DirectoryMd5 = Files;

// The account reads, writes and deletes what the host lets it; every line read ends in a line
// feed; a path with a NUL byte names nothing; neither readfile nor writefile waits on what is
// not a regular file (a FIFO without a peer would hold the agent's thread for ever, /dev/zero
// never ends): the failure reply at once, and nothing of the request stays in the agent. A
// write that fails on a full file system (a 4 KiB one here) is a failure too. deletefile takes
// a link, not what it leads to, and no protected path in any form, even for root.
TEST_F(Files, ReadWriteAndDeleteWithTheHostsPermissionsAndNothingButRegularFiles) {
  prepare(
      "printf 'a\\0\\r\\nb' > two; ln -s two link; mkfifo -m 666 fifo; ln -s /dev/zero zero; ln -s / root; "
      "mkdir -p full dir/sub; mount -t tmpfs -o size=4k tmpfs full");
  shell("cd " + rootDir_ + " && printf s3cret > secret && chmod 600 secret");
  const size_t idle = agentDescriptors();
  const std::string contents("one\0two\nthree", 13), none = "File not found\r\n";
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {"readfile:_:t/two", kAccount, std::string("a\0\r\nb\n\r\n", 8)},  // relative to the account's home
      {"readfile:_:" + t_ + std::string("/two\0/x", 7), kAccount, ""},
      {"readfile:_:" + rootDir_ + "/secret", kAccount, ""},
      {"readfile:_:rootonly/secret", "RoOt", "s3cret\n\r\n"},  // root works in the start directory
      {"readfile:_:" + rootDir_ + "/secret", "knosuchaccount", ""},
      {"readfile:_:" + t_ + "/fifo", kAccount, ""},
      {"readfile:_:" + t_ + "/zero", "root", ""},
      {"writefile:_:" + t_ + "/fifo:_:x", kAccount, "Failed\r\n"},
      {"writefile:_:" + t_ + "/zero:_:x", "root", "Failed\r\n"},
      {"writefile:_:t/new:_:" + std::string(20, 'x'), kAccount, "Created\r\n"},
      {"writefile:_:t/new:_:" + contents + ":_:ignored", kAccount, "Created\r\n"},
      {"writefile:_:" + t_ + std::string("/new\0/x:_:y", 11), kAccount, "Failed\r\n"},
      {"writefile:_:" + rootDir_ + "/denied:_:x", kAccount, "Failed\r\n"},
      {"writefile:_:" + t_ + "/full/f:_:" + std::string(65536, 'x'), "root", "Failed\r\n"},
      {"deletefile:_:" + t_ + "/link", kAccount, "File deleted\r\n"},
      {"deletefile:_:" + t_ + "/dir", kAccount, "Error deleting file\r\n"},
      {"deletefile:_:" + rootDir_ + "/secret", kAccount, "Error deleting file\r\n"},
      {"deletefile:_:" + t_ + "/missing", kAccount, none},
      {"deletefile:_:" + t_ + std::string("/two\0/x", 7), kAccount, none},
      {"deletefile:_:/etc/.", "root", none},
      {"deletefile:_://home/", "root", none},
      {"deletefile:_:/usr/local/..", "root", none},
      {"deletefile:_:" + t_ + "/root/etc", "root", none},
  };
  for (const auto& [instruction, user, expected] : rows) {
    // Counted, not collected: an agent that reads /dev/zero sends without end.
    unsigned long long count = 0;
    std::string got, shown = instruction.substr(0, 80);
    EXPECT_TRUE(sendInstruction(instruction, user)->drainUntilClose(60000, count, got, 64) &&
                count == got.size())
        << shown;
    EXPECT_EQ(expected, got) << shown;
  }
  expectIdle(idle);
  EXPECT_EQ(contents, readWholeFile(t_ + "/new")) << "written whole, over what was there";
  EXPECT_EQ(shell("stat -c %U " + t_ + "/new"), kAccount + std::string("\n"));
  EXPECT_FALSE(pathExists(t_ + "/link") || pathExists(t_ + "/x") || pathExists(rootDir_ + "/denied"));
  EXPECT_TRUE(pathExists(t_ + "/two") && pathExists(t_ + "/dir/sub") && pathExists(rootDir_ + "/secret"));
  EXPECT_TRUE(logged("There was a problem with writefile: No space left on device"));
}

// The agent holds a block of the file at a time: a 512 MiB file arrives whole while the agent's
// peak memory grows by far less than the file. A 256 MiB file written is held once, in its frame.
TEST_F(Files, ALargeFileArrivesWholeWithTheAgentsMemoryBounded) {
  prepare("truncate -s 512M sparse");
  long before = agentStatus("VmHWM:");
  unsigned long long count = 0;
  std::string last;
  ASSERT_TRUE(sendInstruction("readfile:_:t/sparse", kAccount)->drainUntilClose(600000, count, last));
  EXPECT_EQ(512ull * 1024 * 1024 + 3, count);
  EXPECT_EQ(std::string("\0\0\0\0\0\n\r\n", 8), last);
  EXPECT_LT(agentStatus("VmHWM:") - before, 64 * 1024) << "peak memory grew with the file";
  before = agentStatus("VmHWM:");
  EXPECT_EQ("Created\r\n", runInstruction("writefile:_:t/big:_:" + std::string(256 << 20, 'x'), kAccount));
  EXPECT_EQ("268435456\n", shell("stat -c %s " + t_ + "/big"));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their own memory follows the heap
  EXPECT_LE(agentStatus("VmHWM:") - before, 320 * 1024) << "more than one copy of the file: 1.25x";
#endif
}

// A tree goes whole, also one far deeper than any path may be long, never through a link; an
// entry the account may not remove, or a tree it may not even look at, is a failure. So is a
// "/." start, after which the directory itself stays.
TEST_F(DelDir, RemovesTheTreeNeverThroughALinkAndAnswersFailedWhenAnEntryStays) {
  // Links to the start directory, whose files the account may not remove.
  prepare("mkdir -p tree/sub && ln -s " + dir_ + " tree/sub/dirlink && ln -s " + dir_ + " startlink");
  ASSERT_EQ("3000\n",
            prepare("perl -e '(mkdir(\"d\") && chdir(\"d\")) or die for 1..3000'; find d -type d | wc -l"));
  for (const std::string path : {"t/tree", "t/startlink/", "t/missing", "t/d"})
    EXPECT_EQ("Directory removed", replyText("deldir:_:" + path, kAccount)) << path;
  for (const std::string gone : {"/tree", "/startlink", "/d"}) EXPECT_FALSE(pathExists(t_ + gone)) << gone;
  shell("cd " + t_ + " && mkdir -p tree/rootsub closed/tree && touch tree/rootsub/f && chown " + kAccount +
        ": tree && chmod 700 closed");
  for (const std::string path : {"t/tree", "t/tree/.", "t/closed/tree"})
    EXPECT_EQ("Failed", replyText("deldir:_:" + path, kAccount)) << path;
  EXPECT_TRUE(pathExists(t_ + "/tree/rootsub/f") && pathExists(t_ + "/closed/tree"));
}

// Digests equal md5sum's, whoever asks (the walk is the agent's own); a file root cannot read
// gets an empty digest; a FIFO, a link to /dev/zero, a dangling link and links out of the tree
// (one into md5b, whose path starts with the tree's) get no key. A directory that cannot be read
// (a file system whose server has gone) ends the walk: what the directory lists after it gets no
// key, one of x.1 and x.2 (members of "x") included.
TEST_F(DirectoryMd5, DigestsEqualMd5sumsAndOddEntriesGetNoKey) {
  const std::string tree = t_ + "/md5";
  const std::string made =  // x.1 and x.2, one before gone and one after
      "mkdir -p md5/sub md5b && echo b > md5b/f && cd md5 && head -c 100000 /dev/urandom > big && echo hi > "
      "sub/inner "
      "&& echo 1 > x.1 && mkdir gone && echo 2 > x.2 && mkfifo fifo && ln -s /dev/zero zero && ln -s nowhere "
      "dangling "
      "&& ln -s /etc/shadow out && ln -s ../md5b/f beside && ln -s ../big sub/tobig && : > locked";
  prepare(made);
  ASSERT_EQ(mount("/proc/sys/vm/drop_caches", (tree + "/locked").c_str(), nullptr, MS_BIND, nullptr), 0);
  const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  const std::string options = "fd=" + std::to_string(fuse) + ",rootmode=40000,user_id=0,group_id=0";
  ASSERT_EQ(mount("kadrel", (tree + "/gone").c_str(), "fuse", 0, options.c_str()), 0);
  close(fuse);  // its server gone
  std::map<std::string, std::string> expected{{tree + "/locked", ""}};
  std::istringstream sums(shell("cd " + tree + " && md5sum big sub/inner sub/tobig x.1 x.2"));
  for (std::string digest, name; sums >> digest >> name;) expected[tree + "/" + name] = digest;
  const std::string order = "\n" + shell("ls -f " + tree);
  for (auto it = expected.begin(); it != expected.end();) {
    const std::string top =
        it->first.substr(tree.size() + 1, it->first.find('/', tree.size() + 1) - tree.size() - 1);
    it = order.find("\n" + top + "\n") > order.find("\ngone\n") ? expected.erase(it) : std::next(it);
  }
  for (const char* user : {"root", kAccount}) {
    std::istringstream reply(runInstruction("directorymd5:_:" + tree, user, "yes", 60000));
    boost::property_tree::ptree listing;
    EXPECT_NO_THROW(boost::property_tree::read_json(reply, listing)) << reply.str();
    std::map<std::string, std::string> got;
    const std::function<void(const boost::property_tree::ptree&, const std::string&)> flat = [&](auto& t,
                                                                                                 auto& key) {
      if (t.empty()) got[key] = t.data();
      for (const auto& member : t) flat(member.second, key.empty() ? member.first : key + "." + member.first);
    };
    flat(listing, "");
    EXPECT_EQ(expected, got) << user;
  }
  EXPECT_TRUE(
      logged("There was a problem with directorymd5: " + tree + ": Transport endpoint is not connected"));
}

// The listing is sent as the walk goes: 50000 files (a reply of about 3 MiB) raise the agent's
// peak memory by a few MiB whatever the number of cores, where a listing held whole took 40.
TEST_F(DirectoryMd5, ManyFilesLeaveTheAgentsMemoryBounded) {
  prepare(
      "mkdir many && cd many && for d in $(seq 50); do mkdir $d && (cd $d && seq 1000 | xargs touch); done");
  [[maybe_unused]] const long before = agentStatus("VmHWM:");  // unused when sanitized
  unsigned long long count = 0;
  std::string last;
  ASSERT_TRUE(sendInstruction("directorymd5:_:" + t_ + "/many")->drainUntilClose(600000, count, last, 6));
  EXPECT_EQ(last, "\"\n}\n\r\n");
  EXPECT_GT(count, 50000u * 50);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their own memory follows the heap
  EXPECT_LT(agentStatus("VmHWM:") - before, 12 * 1024) << "peak memory grew with the files";
#endif
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
