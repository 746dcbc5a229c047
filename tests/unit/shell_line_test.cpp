// Composing command lines and quoting values so that bash takes each as one literal word.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "dispatch/ShellLine.h"

namespace {

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

}  // namespace
