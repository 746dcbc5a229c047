// What only the dispatcher itself shows of routing: the instruction name is the first element,
// and the start directory is put in for $MAINDIR exactly once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "dispatch/InstructionParser.h"
#include "dispatch/InstructionParserHelpers.h"

namespace {

std::string dispatch(std::string data) {
  std::string user = "root", expectreturn = "yes";
  return InstructionParser(data, user, expectreturn);
}

std::string makeDir(std::string pattern) { return mkdtemp(&pattern[0]) != nullptr ? pattern : ""; }

TEST(Dispatch, NameIsTheFirstElementAndAnEmptyOneRunsNothing) {
  std::string cwd;
  ASSERT_TRUE(agentDirectory(cwd));
  const std::string dir = makeDir("/tmp/kadrel-dispatch-XXXXXX");
  ASSERT_FALSE(dir.empty());
  const std::pair<std::string, std::string> rows[] = {
      {"Version:_:ignored", KADREL_VERSION},
      {"WhereAmI:_:x", cwd},
      {"command:_:printf %s '$MAINDIR|$maindir $MAINDI'", cwd + "|$maindir $MAINDI\n"},
      {":_:touch " + dir + "/ran", ""},
      {"command:_::_:echo hi", ""}};
  for (const auto& row : rows) EXPECT_EQ(row.second, dispatch(row.first)) << row.first;
  struct stat st;
  EXPECT_NE(0, stat((dir + "/ran").c_str(), &st));
  (void)std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(Dispatch, InsertedDirectoryIsNotExpandedAgain) {
  const std::string dir = makeDir("/tmp/kadrel-$MAINDIR-XXXXXX");
  ASSERT_FALSE(dir.empty());
  std::string before;
  ASSERT_TRUE(agentDirectory(before));
  ASSERT_EQ(0, chdir(dir.c_str()));
  const std::string reply = dispatch("command:_:printf %s '$MAINDIR'");
  ASSERT_EQ(0, chdir(before.c_str()));
  rmdir(dir.c_str());
  EXPECT_EQ(dir + "\n", reply);
}

}  // namespace
