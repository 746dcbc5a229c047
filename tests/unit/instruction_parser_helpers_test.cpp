// The dispatcher's helpers: splitting and trimming, and the check of account names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dispatch/InstructionParserHelpers.h"

namespace {

using Pieces = std::vector<std::string>;

TEST(Split, ExplodeKeepsEmptyPiecesTrimTakesOnlyTheEnds) {
  const std::pair<const char*, Pieces> rows[] = {{"", {""}},
                                                 {"a:_", {"a:_"}},
                                                 {"a:_:", {"a", ""}},
                                                 {":_:b", {"", "b"}},
                                                 {"a::_:_:b", {"a:", "_:b"}},
                                                 {"a:_::_:b", {"a", "", "b"}}};
  for (const auto& row : rows) EXPECT_EQ(row.second, explode(":_:", row.first)) << row.first;
  EXPECT_EQ(Pieces{}, explode("", "a:_:b"));
  EXPECT_EQ((Pieces{"a", "b", "", "c"}), explode(" ", "a b  c"));
  std::string s = " \t\r\n\v\fa b\tc\f\v\n\r\t ", blank = " \r\n", nul("\0x\0", 3);
  EXPECT_EQ(&s, &trim(s));
  EXPECT_EQ("a b\tc", s);
  EXPECT_EQ("", trim(blank));
  EXPECT_EQ(3u, trim(nul).size());  // NUL is not white space
}

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
