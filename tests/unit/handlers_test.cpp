// The panel's values in the host's hands: composed command lines (values quoted so that bash
// takes each as one literal word and put in whole, account names that stay one path component,
// no copy of the root directory), protected paths in their normalised forms, and walks of a tree
// an account controls (a directory swapped for a link mid-walk, links in the checksum listing).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dispatch/InstructionParser.h"
#include "dispatch/InstructionParserHelpers.h"
#include "dispatch/ShellLine.h"
#include "handlers/TreeWalk.h"
#include "handlers/directorymd5.h"
#include "handlers/files.h"

namespace {

namespace fs = std::filesystem;

bool exists(const std::string& path) { return fs::symlink_status(path).type() != fs::file_type::not_found; }

// A scratch directory under /tmp, removed afterwards without the code under test (some hold
// links to "/": a removal that starts following links fails its test, not the host).
struct Scratch {
  ~Scratch() { fs::remove_all(dir, ignored); }  // removes links, never what they point to
  std::string path(const std::string& rel) const { return dir + "/" + rel; }
  void file(const std::string& rel, const std::string& text = "x") { std::ofstream(path(rel)) << text; }
  std::error_code ignored;
  const std::string dir = [] {
    char tmpl[] = "/tmp/kadrel-unit.XXXXXX";
    return std::string(mkdtemp(tmpl));
  }();
};

TEST(CheckRemove, ProtectedPathsInEveryFormAndNothingBelowThem) {
  Scratch s;
  fs::create_directory_symlink("/", s.path("root"));
  fs::create_directory_symlink("/etc", s.path("etclink"));
  const fs::path old = fs::current_path();
  fs::current_path(s.dir);
  // The list in any letter case, the same directories written otherwise, and a parent that
  // cannot be resolved (refused, not guessed).
  for (const char* path : {"", "/", "/HOME", "/Etc", "/home/", "//etc", "/etc/.", "/usr/local/..", "root/etc",
                           "root/sbin", "root/../..", "etclink/..", "/no/such/parent/x"})
    EXPECT_EQ(0, checkRemove(path)) << '"' << path << '"';
  // What lies below or beside them, and links to them.
  for (const char* path :
       {"root/", "/home/x", "/usr/local", "/etc/passwd", "/etcx", "etclink", "etclink//", "x"})
    EXPECT_EQ(1, checkRemove(path)) << '"' << path << '"';
  fs::current_path(old);
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
  fs::create_directories(s.path("home/sub"));
  s.file("home/sub/victim");
  swap_directory = s.path("home/sub");
  swap_target = outside.dir;
  setWalkHookForTesting(swapForLink);
  std::string warning;
  removeDirectory(s.path("home"), warning);
  setWalkHookForTesting(nullptr);
  EXPECT_TRUE(exists(outside.path("victim"))) << "the removal went through the link";
  EXPECT_FALSE(exists(s.path("home/sub.moved/victim"))) << "the directory held open is the one emptied";
}

// Root lists a tree an account controls: a link is digested only when its file lies inside it.
TEST(DirectoryMd5, NothingOutsideTheTreeIsReadThroughALink) {
  Scratch outside, s;
  outside.file("secret");
  s.file("in", "1");
  fs::create_symlink("in", s.path("inlink"));
  fs::create_symlink(outside.path("secret"), s.path("outlink"));
  const std::string json = directoryMd5Json(s.dir, 2);
  EXPECT_NE(json.find("\\/inlink\": \"c4ca4238a0b923820dcc509a6f75849b\""), std::string::npos) << json;
  EXPECT_EQ(json.find("outlink"), std::string::npos) << json;
}

TEST(ComposeLine, PutsValuesInWholeAndInOrder) {
  EXPECT_EQ("%s|%%", composeLine("%s|%s", {"%s", "%%"}));  // values are not expanded again
  EXPECT_EQ("a  b ", composeLine("a %s b %s", {}));
  EXPECT_EQ("100% done %d end %", composeLine("100%% done %d end %", {"x"}));
  const std::string big(200 * 1024, 'v');
  EXPECT_EQ("<" + big + ">", composeLine("<%s>", {big}));
}

TEST(ShellQuote, BashTakesTheValueLiterally) {
  for (const char* value : {"", "$HOME", "`id -u`", "$(echo x)", "a;b && c | d", "line1\nline2",
                            "it's \"quoted\" ''", "back\\slash\\", "*  ?[a]", "-n", "~root", "!!"}) {
    FILE* p = popen(("/bin/bash -c " + shellQuote("printf %s " + shellQuote(value))).c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
    EXPECT_EQ(value, out);
  }
}

TEST(AccountName, OnlyNamesThatStayOnePathComponent) {
  for (const char* good : {"alice", "a", "game_1", "gs-7.eu", "A.B", "x..y"})
    EXPECT_TRUE(validAccountName(good)) << good;
  for (const std::string& bad :
       std::vector<std::string>{"", ".", "..", "-x", "a/b", "../x", "a b", "a;b", "\xc3\xa9t\xc3\xa9", "a\nb",
                                std::string("ab\0c", 4), "*"})
    EXPECT_FALSE(validAccountName(bad)) << bad;
}

// The command line the instruction composes (not run); "" when it runs nothing.
std::string composed(const std::string& instruction, std::string user) {
  std::vector<std::string> strlines = explode(":_:", instruction);
  std::string cmddo, reply;
  EXPECT_FALSE(RouteInstruction(strlines, user, cmddo, reply)) << reply;
  return cmddo;
}

TEST(ShellFileLines, CopydirOfTheRootDirectoryCopiesNothing) {
  // "<source>/*" of any of these is every top-level directory of the host; from an account's
  // home, "../.." is the root directory too.
  for (const char* source : {"", "/", "///", "/.", "/..", "/home/..", "/.//./"})
    EXPECT_EQ("", composed(std::string("copydir:_:") + source + ":_:dest", "root")) << source;
  for (const char* source : {"", "//", "/./", "//..", "../.."})
    EXPECT_EQ("", composed(std::string("copydir:_:") + source + ":_:dest", "bob")) << source;
  for (const char* source : {"..", "/home/.", "//srv", "/srv/a b"})
    EXPECT_NE("", composed(std::string("copydir:_:") + source + ":_:dest", "bob")) << source;
}

}  // namespace
