// The directory checksum listing against the real agent: digests equal md5sum's, the JSON form
// of dotted names and "\/", and entries that must not be opened (a FIFO, a link to /dev/zero,
// a dangling link) or cannot be (a file root may not read) in the tree, and a listing that stops
// when its panel goes.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "AgentFixture.h"
#include "dispatch/PeerWatch.h"

namespace {

class DirectoryMd5 : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    if (HasFatalFailure()) return;
    // The start directory's name holds a dot; the tree below gets one without.
    tree_ = "/tmp/kadrel_md5_tree";
    shell("rm -rf " + tree_ + " && mkdir " + tree_);
    startAgent();
  }
  void TearDown() override {
    shell("umount " + tree_ + "/locked 2>/dev/null; rm -rf " + tree_);
    AgentFixture::TearDown();
  }
  // `path` as the JSON writer writes it.
  static std::string key(const std::string& path) {
    std::string k;
    for (char c : path) k += c == '/' ? std::string("\\/") : std::string(1, c);
    return k;
  }
  std::string tree_;
};

TEST_F(DirectoryMd5, DigestsEqualMd5sumsAndOddEntriesGetNoKey) {
  shell("cd " + tree_ +
        " && mkdir sub 'with blank' && head -c 100000 /dev/urandom > big && : > empty && "
        "echo hello > sub/inner && printf 'x%.0s' $(seq 3000) > 'with blank/file' && mkfifo fifo && "
        "ln -s /dev/zero zero && ln -s nowhere dangling && ln -s .. sub/up && ln -s ../big sub/tobig && "
        ": > locked");
  ASSERT_EQ(mount("/proc/sys/vm/drop_caches", (tree_ + "/locked").c_str(), nullptr, MS_BIND, nullptr), 0)
      << "bind-mount of a file root cannot read";

  std::ostringstream expected;
  std::istringstream sums(
      shell("cd " + tree_ + " && md5sum big empty sub/inner 'with blank/file' sub/tobig"));
  std::string digest, name;
  size_t files = 0;
  while (sums >> digest && std::getline(sums >> std::ws, name)) {
    const std::string member = "    \"" + key(tree_ + "/" + name) + "\": \"" + digest + "\"";
    ++files;
    expected << member << "\n";
  }
  ASSERT_EQ(files, 5u);

  ensureAccount("kdirmd5");
  for (const char* user : {"root", "kdirmd5"}) {  // the walk is the agent's own, whoever asks
    const std::string reply = runInstruction("directorymd5:_:" + tree_, user, "yes", 60000);
    std::istringstream lines(expected.str());
    for (std::string member; std::getline(lines, member);)
      EXPECT_NE(reply.find(member), std::string::npos) << member << " in " << reply;
    EXPECT_NE(reply.find("\"" + key(tree_ + "/locked") + "\": \"\""), std::string::npos) << reply;
    for (const char* absent : {"fifo", "zero", "dangling", "up"})
      EXPECT_EQ(reply.find(key("/" + std::string(absent)) + "\""), std::string::npos)
          << absent << " in " << reply;
    EXPECT_EQ(std::count(reply.begin(), reply.end(), '\n'), 9) << reply;  // braces, six members, CR LF
    EXPECT_EQ(reply.substr(reply.size() - 5), "\n}\n\r\n");
  }
}

// A listing that would hash for weeks (a file of 1 PiB, nearly all hole) stops once its panel
// has gone: its threads end, and the agent answers the next panel.
TEST_F(DirectoryMd5, AListingForAPanelThatHasGoneStops) {
  shell("truncate -s 1P " + tree_ + "/huge");
  {
    auto client = sendInstruction("directorymd5:_:" + tree_);
    ASSERT_TRUE(waitUntil([&] {
      return shell("ls -l /proc/" + std::to_string(pid_) + "/fd").find(tree_ + "/huge") != std::string::npos;
    })) << "the file is never read";
  }  // the panel goes
  EXPECT_TRUE(waitUntil([&] { return agentStatus("Threads:") == kIdleAgentThreads; }, 60000))
      << "the listing went on for nobody: " << agentStatus("Threads:") << " threads";
  EXPECT_NE(agentStderr().find(kPeerGoneWarning), std::string::npos);
  EXPECT_EQ(runInstruction("command:_:echo alive"), "alive\n\n\r\n");
}

}  // namespace
