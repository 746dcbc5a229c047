// Splitting, trimming, composing and quoting command lines, and comparing secrets.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dispatch/InstructionParserHelpers.h"
#include "dispatch/ShellLine.h"
#include "session/SocketParser.h"

namespace {

using Pieces = std::vector<std::string>;

TEST(Explode, KeepsEmptyPiecesAndPartialSeparators) {
  const std::pair<const char*, Pieces> rows[] = {
      {"", {""}},
      {"name", {"name"}},
      {"a:_:", {"a", ""}},
      {":_:b", {"", "b"}},
      {"a:_:_:b", {"a", "_:b"}},
      {"a:_", {"a:_"}},
      {"a:_::_:b", {"a", "", "b"}},
      {":_:", {"", ""}},
      {"a:_:b:_:c", {"a", "b", "c"}},
      {"a::_:b", {"a:", "b"}},
  };
  for (const auto& row : rows) EXPECT_EQ(row.second, explode(":_:", row.first)) << row.first;
  EXPECT_EQ(Pieces{}, explode("", "a:_:b"));
  EXPECT_EQ((Pieces{"a", "b", "", "c"}), explode(";", "a;b;;c"));
}

TEST(Trim, RemovesWhiteSpaceAtBothEndsOnly) {
  std::string s = " \t\r\n\v\fa b\tc\f\v\n\r\t ";
  std::string& result = trim(s);
  EXPECT_EQ(&s, &result);
  EXPECT_EQ("a b\tc", s);
  std::string blank = " \r\n";
  EXPECT_EQ("", trim(blank));
  std::string nul("\0x\0", 3);  // NUL is not white space
  EXPECT_EQ(3u, trim(nul).size());
}

TEST(Arg, MissingElementIsEmpty) {
  EXPECT_EQ("first", arg(Pieces{"name", "first"}, 1));
  EXPECT_EQ("", arg(Pieces{"name", "first"}, 2));
  EXPECT_EQ("", arg(Pieces{}, 0));
}

TEST(ComposeLine, PutsValuesInWholeAndInOrder) {
  EXPECT_EQ("a x b y", composeLine("a %s b %s", {"x", "y"}));
  EXPECT_EQ("%s|%%", composeLine("%s|%s", {"%s", "%%"}));  // values are not expanded again
  EXPECT_EQ("a  b ", composeLine("a %s b %s", {}));
  EXPECT_EQ("a x", composeLine("a %s", {"x", "surplus"}));
  EXPECT_EQ("100% done %d", composeLine("100%% done %d", {"x"}));
  EXPECT_EQ("end %", composeLine("end %", {}));
  const std::string big(200 * 1024, 'v');
  EXPECT_EQ("<" + big + ">", composeLine("<%s>", {big}));
}

// What bash prints for `printf %s <quoted value>`.
std::string bashPrints(const std::string& value) {
  const std::string line = "/bin/bash -c " + shellQuote("printf %s " + shellQuote(value));
  FILE* p = popen(line.c_str(), "r");
  if (p == nullptr) return "<popen failed>";
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

TEST(ShellQuote, BashTakesTheValueLiterally) {
  EXPECT_EQ("'it'\\''s'", shellQuote("it's"));
  EXPECT_EQ("''", shellQuote(""));
  for (const std::string& value :
       {std::string("$HOME"), std::string("`id -u`"), std::string("$(echo x)"), std::string("a;b && c | d"),
        std::string("line1\nline2"), std::string("it's \"quoted\" ''"), std::string("back\\slash\\"),
        std::string("*  ?[a]"), std::string("-n"), std::string("~root"), std::string("!!")}) {
    EXPECT_EQ(value, bashPrints(value)) << value;
  }
}

TEST(SecretEquals, IgnoresCaseButNotLength) {
  EXPECT_TRUE(secretEquals("Srv1", "sRV1"));
  EXPECT_TRUE(secretEquals("", ""));
  EXPECT_FALSE(secretEquals("Srv", "Srv1"));
  EXPECT_FALSE(secretEquals("Srv1", "Srv"));
  EXPECT_FALSE(secretEquals("", "x"));
  EXPECT_FALSE(secretEquals("Srv2", "Srv1"));
  EXPECT_FALSE(secretEquals("Srv1 ", "Srv1"));
}

}  // namespace
