// The directory checksum listing where only a hook can reach: a link is digested only when its
// file lies inside the tree, and a directory swapped for a link mid-walk is never read through.
#include "handlers/directorymd5.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "handlers/TreeWalk.h"

namespace {

class DirectoryMd5 : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kadrel-md5-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    if (!dir_.empty()) system(("rm -rf '" + dir_ + "'").c_str());
  }
  void write(const std::string& rel, const std::string& content) {
    std::ofstream(dir_ + "/" + rel, std::ios::binary) << content;
  }
  std::string dir_;
};

// Root lists a tree an account controls: a link is digested only when its file lies inside the
// tree, and a directory swapped for a link while the walk is in it is never read through.
std::string swap_from, swap_to;
void swapForLink(const std::string& directory) {
  if (directory != swap_from) return;
  ASSERT_EQ(rename(directory.c_str(), (directory + "-moved").c_str()), 0);
  ASSERT_EQ(symlink(swap_to.c_str(), directory.c_str()), 0);
}

TEST_F(DirectoryMd5, NothingOutsideTheTreeIsReadThroughALink) {
  const std::string outsideDigest = "9dd4e461268c8034f5c8564e155c67a6",
                    insideDigest = "c4ca4238a0b923820dcc509a6f75849b";
  char tmpl[] = "/tmp/kadrel-md5-outside-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string outside = tmpl;
  std::ofstream(outside + "/secret") << "x";  // its digest is outsideDigest
  ASSERT_EQ(chmod((outside + "/secret").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((outside + "/sub").c_str(), 0700), 0);
  std::ofstream(outside + "/sub/f") << "x";

  write("in", "1");  // its digest is insideDigest
  ASSERT_EQ(symlink("in", (dir_ + "/inlink").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/secret").c_str(), (dir_ + "/outlink").c_str()), 0);
  ASSERT_EQ(mkdir((dir_ + "/a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir_ + "/a/sub").c_str(), 0755), 0);
  write("a/sub/f", "1");
  swap_from = dir_ + "/a/sub";
  swap_to = outside + "/sub";
  setWalkHookForTesting(swapForLink);
  const std::string json = directoryMd5Json(dir_, 2);
  setWalkHookForTesting(nullptr);
  system(("rm -rf '" + outside + "'").c_str());

  EXPECT_NE(json.find("\\/inlink\": \"" + insideDigest + "\""), std::string::npos) << json;
  EXPECT_EQ(json.find("outlink"), std::string::npos) << json;
  EXPECT_EQ(json.find(outsideDigest), std::string::npos) << json;
}

}  // namespace
