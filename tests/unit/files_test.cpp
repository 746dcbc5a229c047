// Protected paths in their normalised forms, a directory swapped for a link while root removes
// a tree, and paths holding a NUL byte.
#include "handlers/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "handlers/TreeWalk.h"

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A scratch directory under /tmp, removed afterwards without the code under test (some hold
// links to "/": a removal that starts following links fails its test, not the host).
class Scratch {
 public:
  Scratch() {
    char tmpl[] = "/tmp/kadrel-files.XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);  // removes links, never what they point to
  }
  std::string path(const std::string& rel) const { return dir_ + "/" + rel; }
  void file(const std::string& rel) { std::ofstream(path(rel)) << "x"; }
  void directory(const std::string& rel) { ASSERT_EQ(0, mkdir(path(rel).c_str(), 0755)) << rel; }
  void link(const std::string& rel, const std::string& target) {
    ASSERT_EQ(0, symlink(target.c_str(), path(rel).c_str())) << rel;
  }
  std::string dir_;
};

TEST(CheckRemove, ProtectedPathsInEveryFormAndNothingBelowThem) {
  Scratch s;
  s.link("root", "/");
  s.link("etclink", "/etc");
  const std::string old = std::filesystem::current_path();
  std::filesystem::current_path(s.dir_);
  // The list in any letter case, the same directories written otherwise, and a parent that
  // cannot be resolved (refused, not guessed).
  for (const char* path : {"", "/", "/HOME", "/Etc", "/home/", "//etc", "/etc/.", "/usr/local/..", "root/etc",
                           "root/sbin", "root/../..", "etclink/..", "/no/such/parent/x"})
    EXPECT_EQ(0, checkRemove(path)) << '"' << path << '"';
  // What lies below or beside them, and links to them.
  for (const char* path :
       {"root/", "/home/x", "/usr/local", "/etc/passwd", "/etcx", "etclink", "etclink//", "x"})
    EXPECT_EQ(1, checkRemove(path)) << '"' << path << '"';
  std::filesystem::current_path(old);
}

// Links are removed, never followed: inside the tree, dangling, or as the start path itself.
TEST(RemoveDirectory, RemovesTheTreeButNeverFollowsALink) {
  Scratch outside;
  outside.file("kept");
  Scratch s;
  s.directory("tree");
  s.directory("tree/sub");
  s.file("tree/sub/a");
  s.file("tree/b");
  s.link("tree/sub/out", outside.dir_);
  s.link("tree/sub/kept", outside.path("kept"));
  s.link("tree/dangling", "/no/such/target");
  std::string warning = "stale";
  EXPECT_EQ(0, removeDirectory(s.path("tree"), warning));
  EXPECT_EQ("", warning);
  EXPECT_FALSE(exists(s.path("tree")));
  for (const char* start : {"link", "link/", "link//"}) {
    s.link("link", outside.dir_);
    EXPECT_EQ(0, removeDirectory(s.path(start), warning)) << start;
    EXPECT_FALSE(exists(s.path("link"))) << start;
  }
  EXPECT_TRUE(exists(outside.path("kept")));
  s.file("f");
  EXPECT_EQ(0, removeDirectory(s.path("f"), warning));
  EXPECT_FALSE(exists(s.path("f")));
  EXPECT_EQ(-1, removeDirectory(s.path("missing"), warning));
  EXPECT_EQ("", warning) << "a start path that does not exist is not a stopped walk";
}

// The directory the walk holds open is renamed away and a link to a directory outside the tree
// takes its name, as an account's process could do mid-walk.
std::string swap_directory, swap_target;
void swapForLink(const std::string& directory) {
  if (directory != swap_directory) return;
  ASSERT_EQ(0, rename(directory.c_str(), (directory + ".moved").c_str()));
  ASSERT_EQ(0, symlink(swap_target.c_str(), directory.c_str()));
}

TEST(RemoveDirectory, AsRootADirectorySwappedForALinkMidWalkIsNeverWalkedThrough) {
  Scratch outside, s;
  outside.file("victim");
  s.directory("home");
  s.directory("home/sub");
  s.file("home/sub/victim");
  swap_directory = s.path("home/sub");
  swap_target = outside.dir_;
  setWalkHookForTesting(swapForLink);
  std::string warning;
  removeDirectory(s.path("home"), warning);
  setWalkHookForTesting(nullptr);
  EXPECT_TRUE(exists(outside.path("victim"))) << "the removal went through the link";
  EXPECT_FALSE(exists(s.path("home/sub.moved/victim"))) << "the directory held open is the one emptied";
}

TEST(FileOperations, APathWithANulByteNamesNothingNotItsPrefix) {
  Scratch s;
  s.file("f");
  s.directory("d");
  const std::string f = s.path("f") + std::string("\0/x", 3), d = s.path("d") + std::string("\0", 1);
  EXPECT_EQ("", readfile("root", f));
  EXPECT_EQ("Failed", writeFile("root", f, "new"));
  EXPECT_EQ("File not found", deletefile("root", f));
  EXPECT_EQ("Error renaming file", renamefile("root", s.path("f"), s.path("g") + std::string("\0", 1)));
  EXPECT_EQ("Directory removed", deldir("root", d)) << "as for any path that does not exist";
  std::stringstream kept;
  kept << std::ifstream(s.path("f")).rdbuf();
  EXPECT_EQ("x", kept.str());
  EXPECT_TRUE(exists(s.path("d")));
  EXPECT_FALSE(exists(s.path("g")));
}

}  // namespace
