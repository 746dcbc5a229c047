// The check of account names: one path component, never an option, nothing the shell reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dispatch/InstructionParserHelpers.h"

namespace {

TEST(AccountName, OnlyNamesThatStayOnePathComponent) {
  for (const char* good : {"alice", "a", "game_1", "gs-7.eu", "A.B", "x..y"})
    EXPECT_TRUE(validAccountName(good)) << good;
  for (const std::string& bad :
       std::vector<std::string>{"", ".", "..", "-x", "a/b", "../x", "a b", "a;b", "\xc3\xa9t\xc3\xa9", "a\nb",
                                std::string("ab\0c", 4), "*"}) {
    EXPECT_FALSE(validAccountName(bad)) << bad;
  }
}

}  // namespace
