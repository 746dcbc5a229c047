// Routing of instructions: the exact-match table, the case-insensitive names, the fallback
// that runs an unknown name as a command, "$MAINDIR" and the command execution step.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "dispatch/InstructionParser.h"
#include "dispatch/InstructionParserHelpers.h"

namespace {

std::string dispatch(std::string data, std::string expectreturn = "yes") {
  std::string user = "root";
  return InstructionParser(data, user, expectreturn);
}

std::string cwd() {
  std::string dir;
  EXPECT_TRUE(agentDirectory(dir));
  return dir;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// A scratch directory under /tmp, removed with what it holds.
class Scratch {
 public:
  explicit Scratch(const std::string& pattern = "/tmp/kadrel-dispatch-XXXXXX") {
    std::string buf = pattern;
    if (mkdtemp(&buf[0]) != nullptr) path = buf;
  }
  ~Scratch() {
    if (!path.empty()) (void)std::system(("rm -rf '" + path + "'").c_str());
  }
  std::string path;
};

TEST(Dispatch, ReplyHandlersIgnoreTheReplyFlag) {
  for (const char* flag : {"yes", "no", ""}) {
    EXPECT_EQ("2.0.0.0", dispatch("version", flag));
    EXPECT_EQ("2.0.0.0", dispatch("VERSION", flag));
    EXPECT_EQ("2.0.0.0", dispatch("Version:_:ignored", flag));
    EXPECT_EQ(cwd(), dispatch("whereami", flag));
    EXPECT_EQ(cwd(), dispatch("WhereAmI", flag));
  }
}

TEST(Dispatch, CommandRunsItsArgumentAsOneLine) {
  EXPECT_EQ("hi\n\n", dispatch("command:_:echo hi"));
  EXPECT_EQ("hi\n\n", dispatch("command:_:echo hi", "YES"));
  EXPECT_EQ("a c\n", dispatch("command:_:printf 'a '; printf b | tr b c; echo d >/dev/null"));
  EXPECT_EQ("\n", dispatch("command:_:true"));
  for (const char* flag : {"no", "", "y"}) EXPECT_EQ("", dispatch("command:_:echo hi", flag));

  Scratch dir;
  ASSERT_FALSE(dir.path.empty());
  EXPECT_EQ("", dispatch("command:_:touch " + dir.path + "/ran", "no"));
  EXPECT_TRUE(exists(dir.path + "/ran"));  // run and waited for, without a reply

  const auto table = instruction_table.find("command");
  ASSERT_NE(instruction_table.end(), table);
  EXPECT_FALSE(table->second.returns);
}

TEST(Dispatch, UnknownNameRunsWithItsFirstArgument) {
  EXPECT_EQ("abc\n", dispatch("printf:_:abc"));
  EXPECT_EQ("abc\n\n", dispatch("echo:_:abc:_:def"));
  EXPECT_EQ("\n\n", dispatch("echo"));
  EXPECT_EQ("", dispatch("printf:_:abc", "no"));
  // Only the exact "command" is the table's entry; this runs "Command echo hi", which bash
  // cannot find, so nothing reaches standard output.
  EXPECT_EQ("\n", dispatch("Command:_:echo hi"));
  EXPECT_EQ("\n", dispatch("COMMAND:_:echo hi"));
}

TEST(Dispatch, EmptyNameOrLineRunsNothing) {
  Scratch dir;
  ASSERT_FALSE(dir.path.empty());
  for (const std::string& data : {std::string(""), std::string(":_:x"), ":_:touch " + dir.path + "/ran"}) {
    EXPECT_EQ("", dispatch(data)) << data;
  }
  EXPECT_FALSE(exists(dir.path + "/ran"));
  EXPECT_EQ("", dispatch("command"));
  EXPECT_EQ("", dispatch("command:_:"));
  EXPECT_EQ("", dispatch("command:_::_:echo hi"));
}

TEST(Dispatch, MainDirIsReplacedByTheStartDirectory) {
  EXPECT_EQ(cwd() + "\n", dispatch("printf:_:$MAINDIR"));
  EXPECT_EQ(cwd() + "/f|" + cwd() + "\n", dispatch("command:_:printf %s '$MAINDIR/f|$MAINDIR'"));
  EXPECT_EQ("$maindir $MAINDI\n", dispatch("command:_:printf %s '$maindir $MAINDI'"));
}

TEST(Dispatch, InsertedDirectoryIsNotSearchedAgain) {
  Scratch dir("/tmp/kadrel-$MAINDIR-XXXXXX");
  ASSERT_FALSE(dir.path.empty());
  const std::string before = cwd();
  ASSERT_EQ(0, chdir(dir.path.c_str()));
  const std::string reply = dispatch("command:_:printf %s '$MAINDIR'");
  ASSERT_EQ(0, chdir(before.c_str()));
  EXPECT_EQ(dir.path + "\n", reply);
}

TEST(Dispatch, OverlongCommandLineIsRefusedNotCut) {
  Scratch dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string marker = dir.path + "/ran";
  EXPECT_EQ("", dispatch("command:_:touch " + marker + "; echo " + std::string(140000, 'a')));
  EXPECT_FALSE(exists(marker));

  const std::string line = "printf %s " + std::string(100000 - 10, 'b');
  ASSERT_EQ(100000u, line.size());
  EXPECT_EQ(std::string(100000 - 10, 'b') + "\n", dispatch("command:_:" + line));
}

TEST(Dispatch, NamesAreComparedInChainOrder) {
  auto position = [](const char* name) {
    return std::find_if(instruction_chain.begin(), instruction_chain.end(),
                        [name](const NamedInstruction& n) { return std::string(n.name) == name; });
  };
  ASSERT_NE(instruction_chain.end(), position("whereami"));
  ASSERT_NE(instruction_chain.end(), position("version"));
  EXPECT_LT(position("whereami"), position("version"));
}

}  // namespace
