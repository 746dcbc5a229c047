// The composed lines of the shell-backed instructions: a copy whose source is the root
// directory copies nothing, and data that is shell text stays data.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "dispatch/InstructionParser.h"
#include "dispatch/InstructionParserHelpers.h"
#include "dispatch/ShellLine.h"

namespace {

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

// What bash prints running `line` in `dir` (its errors dropped).
std::string output(const std::string& dir, const std::string& line) {
  FILE* p =
      popen(("cd " + shellQuote(dir) + " && /bin/bash -c " + shellQuote(line) + " 2>/dev/null").c_str(), "r");
  std::string out;
  char buf[4096];
  for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (p != nullptr) pclose(p);
  return out;
}

// Each composed line run by bash, with a value that is shell text wherever the panel puts data
// (account, path, search words): nothing of it may run; and a path that looks like an option is
// still a path. Only lines that read the host are run.
TEST(ShellFileLines, DataThatIsShellTextNeverRuns) {
  char tmpl[] = "/tmp/kadrel-words.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, archive = dir + "/a b's.tar", marker = dir + "/ran",
                    text = "$(touch " + marker + ")";
  std::ofstream(archive) << "x";
  const std::string instructions[] = {
      "extract:_:" + text + ":_::_:true:_:" + archive,  // the unpack command is the panel's shell text
      "isfile:_:" + text,
      "isdir:_:" + text,
      "filesize:_:" + text,
      "filelist:_:" + text,
      "filelist2:_:" + text,
      "status:_:" + text + ":_:x:_:y",
      "status:_:x:_:" + text + ":_:y",
      "status:_:x:_:y:_:" + text};
  for (const std::string& instruction : instructions) {
    const std::string line = composed(instruction, "root");
    ASSERT_NE("", line) << instruction;
    output(dir, line);
    struct stat st;
    EXPECT_NE(0, stat(marker.c_str(), &st)) << line;
    unlink(marker.c_str());
  }
  std::ofstream(dir + "/--version") << "x";
  for (const char* instruction : {"filesize:_:--version", "filelist:_:--version", "filelist2:_:--version"}) {
    const std::string out = output(dir, composed(instruction, "root"));
    EXPECT_TRUE(out.size() >= 10 && out.compare(out.size() - 10, 10, "--version\n") == 0)
        << instruction << ": " << out;
  }
  EXPECT_EQ(0, std::system(("rm -rf " + shellQuote(dir)).c_str()));
}

}  // namespace
