// The dispatcher puts the start directory in for $MAINDIR exactly once, whatever its name holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "dispatch/InstructionParser.h"
#include "dispatch/InstructionParserHelpers.h"

namespace {

TEST(Dispatch, InsertedDirectoryIsNotExpandedAgain) {
  char tmpl[] = "/tmp/kadrel-$MAINDIR-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  std::string before;
  ASSERT_TRUE(agentDirectory(before));
  ASSERT_EQ(0, chdir(tmpl));
  std::string data = "command:_:printf %s '$MAINDIR|$maindir $MAINDI'", user = "root", expectreturn = "yes";
  const std::string reply = InstructionParser(data, user, expectreturn);
  ASSERT_EQ(0, chdir(before.c_str()));
  rmdir(tmpl);
  EXPECT_EQ(std::string(tmpl) + "|$maindir $MAINDI\n", reply);
}

}  // namespace
