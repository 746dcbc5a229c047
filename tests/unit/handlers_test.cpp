// The panel's values in the host's hands: composed command lines (values quoted so that bash
// takes each as one literal word and put in whole, paths that are never options, no copy of the
// root directory), protected paths in their normalised forms, and root's removal of a tree an
// account controls (a directory swapped for a link mid-walk).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/algorithm/string/case_conv.hpp>
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "TestSettings.h"
#include "dispatch/InstructionParser.h"
#include "exec/Descriptors.h"
#include "exec/InstructionParserHelpers.h"
#include "exec/Processes.h"
#include "exec/ShellLine.h"
#include "exec/TreeWalk.h"
#include "handlers/directorymd5.h"
#include "handlers/files.h"
#include "handlers/user.h"

namespace {

namespace fs = std::filesystem;

bool exists(const std::string& path) { return fs::symlink_status(path).type() != fs::file_type::not_found; }

// A scratch directory under /tmp, removed afterwards without the code under test (some hold
// links to "/": a removal that starts following links fails its test, not the host).
struct Scratch {
  ~Scratch() { fs::remove_all(dir, ignored); }  // removes links, never what they point to
  std::string path(const std::string& rel) const { return dir + "/" + rel; }
  void file(const std::string& rel) { std::ofstream(path(rel)) << "x"; }
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
    EXPECT_FALSE(checkRemove(path)) << '"' << path << '"';
  // What lies below or beside them, and links to them.
  for (const char* path : {"root/", "/home/x", "/usr/local", "/etc/passwd", "/etcx", "etclink", "etclink//"})
    EXPECT_TRUE(checkRemove(path)) << '"' << path << '"';
  fs::current_path(old);
}

// What an account's process could do to its tree while root walks it, as the walk enters its
// first directory: swap that directory, or its sibling still to be walked, for a link to a
// directory outside the tree.
bool swapEntered;
std::string outsideDir;  // empty once swapped
void swapMidWalk(const std::string& entered) {
  if (outsideDir.empty()) return;
  const std::string home = entered.substr(0, entered.rfind('/')),
                    swapped = swapEntered ? entered : home + (entered == home + "/a" ? "/b" : "/a");
  ASSERT_EQ(0, rename(swapped.c_str(), (swapped + ".moved").c_str()));
  fs::create_directory_symlink(outsideDir, swapped);
  outsideDir.clear();
}

// The walk never goes through a link, and the directory it holds open is the one emptied.
TEST(RemoveDirectory, AsRootATreeChangedMidWalkIsNeverWalkedThroughALink) {
  for (const bool entered : {true, false}) {
    Scratch outside, s;
    outside.file("victim");
    for (const std::string d : {"home/a", "home/b"}) {
      fs::create_directories(s.path(d));
      s.file(d + "/victim");
    }
    swapEntered = entered;
    outsideDir = outside.dir;
    setWalkHookForTesting(swapMidWalk);
    EXPECT_FALSE(removeDirectory(s.path("home"))) << entered;  // what was moved aside stays
    setWalkHookForTesting(nullptr);
    EXPECT_TRUE(exists(outside.path("victim"))) << entered << ": the removal went through a link";
    EXPECT_FALSE(entered && (exists(s.path("home/a.moved/victim")) || exists(s.path("home/b.moved/victim"))));
  }
}

// Root renices only the session this start made: a process of the account that started before
// the start (here the test itself) is refused, one started after it is taken.
TEST(ServiceProcess, OnlyAProcessStartedSinceTheStartIsTheService) {
  ProcessFacts self;
  ASSERT_TRUE(processFacts(getpid(), self));
  const unsigned long long since = self.startTicks + 1;
  while (bootTicksNow() <= since) usleep(1000);  // a tick or two: the child starts after `since`
  const pid_t started = fork();
  if (started == 0) pause();
  EXPECT_TRUE(descendsWithinAccount(started, started, getuid(), since));
  EXPECT_FALSE(descendsWithinAccount(getpid(), getpid(), getuid(), since));
  kill(started, SIGKILL);
  waitpid(started, nullptr, 0);
}

// The listing written as the walk goes is the JSON of a property tree filled in the walk's
// order, or refused like it, for trees of names full of dots (empty files, FIFOs, directories).
TEST(DirectoryMd5, WrittenAsTheWalkGoesItIsThePropertyTreesJson) {
  struct PropertyTree : TreeVisitor {
    boost::property_tree::ptree tree;
    std::string path;
    bool entry(int dir, const std::string& name, size_t) override {
      struct stat st;
      if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
        tree.put(path, "d41d8cd98f00b204e9800998ecf8427e");
      return true;
    }
  };
  const char* const stems[] = {"a", "b", "ab", ""};
  const char* const tails[] = {"", ".", "..", ".b", "..b", ".b.", ".a.b", "...", ".b..", ".txt"};
  std::mt19937 pick;
  const std::function<void(const std::string&, unsigned)> make = [&](const std::string& dir, unsigned depth) {
    for (int n = 0; n < 10; ++n) {
      const std::string name = std::string(stems[pick() % 4]) + tails[pick() % 10], p = dir + "/" + name;
      const unsigned kind = pick() % (depth < 2 ? 7 : 5);  // a file, none, a FIFO, a directory
      if (name == "." || name == ".." || exists(p)) continue;
      if (kind < 2) std::ofstream{p};
      if (kind == 3) mkfifo(p.c_str(), 0600);
      if (kind >= 4 && mkdir(p.c_str(), 0700) == 0 && kind > 4) make(p, depth + 1);
    }
  };
  for (int tree = 0; tree < 200; ++tree) {
    Scratch s;
    const std::string root = s.path("t.x");
    mkdir(root.c_str(), 0700);
    make(root, 0);
    PropertyTree expected;
    expected.path = root;
    const Fd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_EQ(walkTree(fd.get(), expected.path, expected), WalkEnd::Done);
    std::ostringstream json;
    try {
      boost::property_tree::write_json(json, expected.tree);
    } catch (const boost::property_tree::json_parser_error& e) {
      json << e.what();
    }
    std::string got;
    try {
      got = directoryMd5Json(root, 2);
    } catch (const boost::property_tree::json_parser_error& e) {
      got = e.what();
    }
    ASSERT_EQ(got, json.str()) << tree;
  }
}

// What bash prints running `line` in `dir` (its errors dropped).
std::string bash(const std::string& line, const std::string& dir = "/") {
  FILE* p =
      popen(("cd " + shellQuote(dir) + " && /bin/bash -c " + shellQuote(line) + " 2>/dev/null").c_str(), "r");
  std::string out;
  char buf[4096];
  for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (p != nullptr) pclose(p);
  return out;
}

TEST(ShellQuote, BashTakesTheValueLiterally) {
  for (const char* value : {"", "$HOME", "`id -u`", "$(echo x)", "a;b && c | d", "line1\nline2",
                            "it's \"quoted\" ''", "back\\slash\\", "*  ?[a]", "-n", "~root", "!!"})
    EXPECT_EQ(value, bash("printf %s " + shellQuote(value))) << value;
  EXPECT_EQ("%s|%%", composeLine("%s|%s", {"%s", "%%"}));  // values are not expanded again
}

// Every instruction docs/protocol.md lists (each a table row of its own) selects a row of the
// instruction table, also in capitals unless the row wants its letter case exact: a handler whose
// row is missing would have its name run as a shell command instead.
TEST(InstructionTable, EveryDocumentedInstructionSelectsItsRow) {
  std::ifstream doc(KADREL_SOURCE_DIR "/docs/protocol.md");
  ASSERT_TRUE(doc.is_open());
  std::smatch m;
  for (std::string line; std::getline(doc, line);) {
    if (!std::regex_search(line, m, std::regex("^\\| `([a-z][a-z0-9]*)[`:]"))) continue;  // a name's row
    const Instruction* row = findInstruction(m[1]);
    ASSERT_NE(row, nullptr) << m[1] << " has no row";
    EXPECT_EQ(row->match == kAnyCase, findInstruction(boost::to_upper_copy(m.str(1))) == row) << m[1];
  }
}

// The command line the instruction composes (not run); "" when it runs nothing.
std::string composed(const std::string& instruction, std::string user) {
  std::vector<std::string> strlines = explode(":_:", instruction);
  std::string cmddo, reply;
  EXPECT_FALSE(RouteInstruction(strlines, user, cmddo, reply)) << reply;
  return cmddo;
}

// The new account's hash reaches the creating program on its standard input, never as a word.
TEST(AccountLines, TheHashIsReadFromStandardInput) {
  const struct {
    const char* os;
    std::string line, input;
  } rows[] = {
      {"linux", "/usr/sbin/useradd 'bob' -s '/bin/sh' -m ", ""},
      {"freebsd", "/usr/sbin/pw useradd 'bob' -s '/bin/sh' -H 0 -m -g 'wheel'", "$1$h\n"},
  };
  for (const auto& row : rows) {
    WithSettings s(settingsFor(row.os, "user_group=default\n"));  // FreeBSD: wheel
    const AddUserCommand command = addUserCommand("/bin/sh", "bob", "$1$h");
    EXPECT_EQ(row.line, command.line) << row.os;
    EXPECT_EQ(row.input, command.input) << row.os;
  }
}

// "<source>/*" of an empty source or the root directory is every top-level directory of the
// host; from an account's home, "../.." is the root directory too.
TEST(ShellFileLines, CopydirOfTheRootDirectoryCopiesNothing) {
  for (const char* source : {"", "/", "/.//./", "/home/..", "//..", "../.."})
    EXPECT_EQ("", composed(std::string("copydir:_:") + source + ":_:dest", "bob")) << source;
  for (const char* source : {"..", "/home/.", "//srv"})
    EXPECT_NE("", composed(std::string("copydir:_:") + source + ":_:dest", "bob")) << source;
}

// Each composed line run by bash: the panel's search words are data even when they are shell
// text, and a path that looks like an option is still a path.
TEST(ShellFileLines, DataThatIsShellTextNeverRunsAndAPathIsNoOption) {
  Scratch s;
  const std::string text = "$(touch " + s.path("ran") + ")";
  bash(composed("status:_:" + text + ":_:" + text + ":_:" + text, "root"), s.dir);
  EXPECT_FALSE(exists(s.path("ran")));
  s.file("--version");
  for (const char* instruction : {"filesize:_:--version", "filelist:_:--version", "filelist2:_:--version"})
    EXPECT_NE(bash(composed(instruction, "root"), s.dir).find("--version\n"), std::string::npos)
        << instruction;
}

}  // namespace
