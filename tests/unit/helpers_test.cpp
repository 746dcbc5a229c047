// Splitting, trimming, composing and quoting command lines, comparing secrets, the peer
// allow-list, and what only the dispatcher itself shows of routing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dispatch/InstructionParser.h"
#include "dispatch/InstructionParserHelpers.h"
#include "dispatch/ShellLine.h"
#include "session/SocketParser.h"
#include "sockets/Socket.h"

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

TEST(ComposeLine, PutsValuesInWholeAndInOrder) {
  EXPECT_EQ("%s|%%", composeLine("%s|%s", {"%s", "%%"}));  // values are not expanded again
  EXPECT_EQ("a  b ", composeLine("a %s b %s", {}));
  EXPECT_EQ("a x", composeLine("a %s", {"x", "surplus"}));
  EXPECT_EQ("100% done %d end %", composeLine("100%% done %d end %", {"x"}));
  const std::string big(200 * 1024, 'v');
  EXPECT_EQ("<" + big + ">", composeLine("<%s>", {big}));
}

// What bash prints for `printf %s <quoted value>`.
std::string bashPrints(const std::string& value) {
  FILE* p = popen(("/bin/bash -c " + shellQuote("printf %s " + shellQuote(value))).c_str(), "r");
  if (p == nullptr) return "<popen failed>";
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  return out;
}

TEST(ShellQuote, BashTakesTheValueLiterally) {
  for (const char* value : {"", "$HOME", "`id -u`", "$(echo x)", "a;b && c | d", "line1\nline2",
                            "it's \"quoted\" ''", "back\\slash\\", "*  ?[a]", "-n", "~root", "!!"})
    EXPECT_EQ(value, bashPrints(value)) << value;
}

TEST(Access, SecretIgnoresCaseButNotLengthAllowListNeedsExactEntries) {
  EXPECT_TRUE(secretEquals("Srv1", "sRV1"));
  EXPECT_TRUE(secretEquals("", ""));
  for (const char* given : {"Srv", "Srv12", "Srv1 ", "Srv2", ""})
    EXPECT_FALSE(secretEquals(given, "Srv1")) << given;
  EXPECT_FALSE(secretEquals("Srv1", ""));
  const std::string in = "Allowed login from known ip", out = "Denied login from unknown ip";
  // List, peer, allowed, the line to log ("" when no check was made).
  const std::tuple<const char*, const char*, bool, std::string> rows[] = {
      {"", "10.0.0.3", true, ""},
      {";10.0.0.1", "10.0.0.3", true, ""},  // an empty first entry switches the check off
      {"10.0.0.1;;10.0.0.2", "10.0.0.2", true, in},
      {"10.0.0.1;10.0.0.2", "10.0.0.", false, out},
      {"10.0.0.1;10.0.0.2", "10.0.0.12", false, out},
      {"10.0.0.1 ;10.0.0.2", "10.0.0.1", false, out},
      {"10.0.0.1;", "10.0.0.3", false, out}};
  for (const auto& [list, ip, allowed, line] : rows) {
    std::string logged = "stale";
    EXPECT_EQ(allowed, whitelistAllows(list, ip, logged)) << list << " / " << ip;
    EXPECT_EQ(line, logged) << list << " / " << ip;
  }
}

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
