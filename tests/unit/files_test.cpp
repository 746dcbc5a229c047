// Protected paths in their normalised forms, and the tree removal: links never followed,
// protected entries skipped, the warning handed back rather than logged.
#include "handlers/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A scratch directory under /tmp, removed with everything in it afterwards. Unit tests run as
// root on the host and some scratch trees hold links to "/": the clean-up never uses the code
// under test, so a removal that starts following links fails its test instead of walking the
// host's root.
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
  const std::string& dir() const { return dir_; }
  std::string path(const std::string& rel) const { return dir_ + "/" + rel; }
  void file(const std::string& rel) { std::ofstream(path(rel)) << "x"; }
  void directory(const std::string& rel) { ASSERT_EQ(0, mkdir(path(rel).c_str(), 0755)) << rel; }
  void link(const std::string& rel, const std::string& target) {
    ASSERT_EQ(0, symlink(target.c_str(), path(rel).c_str())) << rel;
  }

 private:
  std::string dir_;
};

// Changes the working directory for the scope.
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir) : old_(getcwd(nullptr, 0)) {
    EXPECT_EQ(0, chdir(dir.c_str()));
  }
  ~InDirectory() {
    EXPECT_EQ(0, chdir(old_));
    free(old_);
  }

 private:
  char* old_;
};

TEST(CheckRemove, ProtectedPathsInEveryFormAndNothingBelowThem) {
  Scratch s;
  s.link("root", "/");
  s.link("etclink", "/etc");
  InDirectory in(s.dir());
  const struct {
    std::string path;
    int expected;
  } rows[] = {
      // The list itself, in any letter case.
      {"", 0},
      {"/", 0},
      {"/HOME", 0},
      {"/Etc", 0},
      // The same directories written otherwise.
      {"/home/", 0},
      {"//etc", 0},
      {"/etc/.", 0},
      {"/usr/local/..", 0},
      {s.path("root") + "/etc", 0},  // the parent is a link to "/"
      {s.path("root") + "/", 1},     // the link itself, its trailing slash dropped
      {"root/sbin", 0},              // relative, from the working directory
      {"root/../..", 0},
      {"etclink/..", 0},
      // What lies below or beside them, and links to them.
      {"/home/x", 1},
      {"/usr/local", 1},
      {"/etc/passwd", 1},
      {"/etcx", 1},
      {"etclink", 1},
      {s.path("etclink") + "//", 1},
      {"plain-name", 1},
      // A parent that cannot be resolved: refused rather than guessed.
      {"/no/such/parent/x", 0},
  };
  for (const auto& row : rows)
    EXPECT_EQ(row.expected, checkRemove(row.path.c_str())) << "\"" << row.path << "\"";
  EXPECT_EQ(0, checkRemove(nullptr));
}

// The nftw walk (as an account, in its child) and the descriptor-relative walk (as root) give
// the same results.
using Remover = int (*)(const std::string&, std::string&);
const std::pair<const char*, Remover> kRemovers[] = {{"removeDirectory", removeDirectory},
                                                     {"removeTreeNoFollow", removeTreeNoFollow}};

// Links are removed, never followed: inside the tree, dangling, or as the start path itself.
TEST(RemoveDirectory, RemovesTheTreeButNeverFollowsALink) {
  for (const auto& [what, remover] : kRemovers) {
    SCOPED_TRACE(what);
    Scratch outside;
    outside.file("kept");
    Scratch s;
    s.directory("tree");
    s.directory("tree/sub");
    s.file("tree/sub/a");
    s.file("tree/b");
    s.link("tree/sub/out", outside.dir());
    s.link("tree/sub/kept", outside.path("kept"));
    s.link("tree/dangling", "/no/such/target");
    std::string warning = "stale";
    EXPECT_EQ(0, remover(s.path("tree"), warning));
    EXPECT_EQ("", warning);
    EXPECT_FALSE(exists(s.path("tree")));
    for (const char* start : {"link", "link/", "link//"}) {
      s.link("link", outside.dir());
      EXPECT_EQ(0, remover(s.path(start), warning)) << start;
      EXPECT_FALSE(exists(s.path("link"))) << start;
    }
    EXPECT_TRUE(exists(outside.path("kept")));
    s.file("f");
    EXPECT_EQ(0, remover(s.path("f"), warning));
    EXPECT_FALSE(exists(s.path("f")));
    EXPECT_EQ(-1, remover(s.path("missing"), warning));
    EXPECT_EQ("", warning) << "a start path that does not exist is not a stopped walk";
  }
  // The walk judges each entry in its normalised form: a protected directory is skipped
  // (0, walk goes on) instead of being handed to remove(), which would fail on it.
  for (const char* entry : {"//tmp/", "/tmp/.", "/usr/local/.."})
    EXPECT_EQ(0, unlink_cb(entry, nullptr, 0, nullptr));
}

// Where the swap happens: the directory the walk holds open is renamed away and a link to a
// directory outside the tree takes its name, as an account's process could do mid-walk.
std::string swap_directory, swap_target;
void swapForLink(const std::string& directory) {
  if (directory != swap_directory) return;
  ASSERT_EQ(0, rename(directory.c_str(), (directory + ".moved").c_str()));
  ASSERT_EQ(0, symlink(swap_target.c_str(), directory.c_str()));
}

TEST(RemoveDirectory, AsRootADirectorySwappedForALinkMidWalkIsNeverWalkedThrough) {
  Scratch outside;
  outside.file("victim");
  Scratch s;
  s.directory("home");
  s.directory("home/sub");
  s.file("home/sub/victim");
  swap_directory = s.path("home/sub");
  swap_target = outside.dir();
  setRemovalHookForTesting(swapForLink);
  std::string warning;
  removeTreeNoFollow(s.path("home"), warning);
  setRemovalHookForTesting(nullptr);
  EXPECT_TRUE(exists(outside.path("victim"))) << "the removal went through the link";
  EXPECT_FALSE(exists(s.path("home/sub.moved/victim"))) << "the directory held open is the one emptied";
}

TEST(RemoveDirectory, AsRootATreeDeeperThanTheBoundStopsWithAWarning) {
  Scratch s;
  std::string deep = "d";
  for (int i = 0; i <= kMaxRemovalDepth; ++i) deep += "/d";
  ASSERT_EQ(0, system(("mkdir -p " + s.path(deep)).c_str()));
  std::string warning;
  EXPECT_EQ(-1, removeTreeNoFollow(s.path("d"), warning));
  EXPECT_EQ("There was a problem with removeDirectory() 1", warning);
  EXPECT_EQ(0, system(("rm -rf " + s.path("d")).c_str()));
}

TEST(FileOperations, APathWithANulByteNamesNothingNotItsPrefix) {
  Scratch s;
  s.file("f");
  s.directory("d");
  const std::string f = s.path("f") + std::string("\0/x", 3), d = s.path("d") + std::string("\0", 1);
  EXPECT_EQ("", readfile("root", f));
  EXPECT_EQ("Failed", writeFile("root", f, "new"));
  EXPECT_EQ("File not found", deletefile("root", f));
  EXPECT_EQ("Error renaming file", renamefile("root", f, s.path("g")));
  EXPECT_EQ("Error renaming file", renamefile("root", s.path("f"), s.path("g") + std::string("\0", 1)));
  EXPECT_EQ("Error moving rirectory", movedir("root", d, s.path("e")));
  EXPECT_EQ("Directory removed", deldir("root", d)) << "as for any path that does not exist";
  std::string warning;
  EXPECT_EQ(-1, removeDirectory(d, warning));
  EXPECT_EQ("x", [&] {
    std::ifstream in(s.path("f"));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }());
  EXPECT_TRUE(exists(s.path("d")));
  EXPECT_FALSE(exists(s.path("g")));
}

TEST(FileOperations, NoChildAtAllAnswersFailed) {
#ifdef KADREL_SANITIZED
  GTEST_SKIP() << "the sanitizers need a free descriptor for their own checks";
#endif
  // With every descriptor number below the limit taken, no pipe can be made for the child.
  const int lowestFree = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(lowestFree, 0);
  close(lowestFree);
  struct rlimit old;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
  struct rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));
  const std::string replies[] = {
      readfile("root", "/etc/hostname"),
      writeFile("root", "/tmp/kadrel-never-written", "x"),
      deletefile("root", "/tmp/kadrel-never"),
      renamefile("root", "/tmp/kadrel-a", "/tmp/kadrel-b"),
      movedir("root", "/tmp/kadrel-a", "/tmp/kadrel-b"),
      deldir("root", "/tmp/kadrel-never"),
  };
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &old));
  for (const std::string& reply : replies) EXPECT_EQ("Failed", reply);
  EXPECT_FALSE(exists("/tmp/kadrel-never-written"));
}

}  // namespace
