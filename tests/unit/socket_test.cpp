// The peer allow-list applied when a connection is accepted.
#include "sockets/Socket.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

TEST(Access, AllowListNeedsExactEntries) {
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

}  // namespace
