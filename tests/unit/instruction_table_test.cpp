// Every routed instruction name with the table it sits in and its kind. A row registered in
// the wrong table or with the wrong kind would run an empty line and send no reply; this list
// catches it the day the row is added. Add the instruction here when you add its row.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "HandlerHarness.h"
#include "dispatch/InstructionTable.h"

namespace {

struct ExpectedRoute {
  const char* name;
  bool exact;  // instruction_table (exact key) rather than the name chain
  HandlerKind kind;
};

// In the chain's order; the exact rows after it.
// clang-format off
const ExpectedRoute kRoutes[] = {
    {"whereami", false, kReply},
    {"changepass", false, kReply},
    {"addserver", false, kReply},
    {"updateserver", false, kReply},
    {"removeserver", false, kReply},
    {"start", false, kReply},
    {"stop", false, kReply},
    {"restart", false, kReply},
    {"deldir", false, kReply},
    {"movedir", false, kReply},
    {"renamefile", false, kReply},
    {"deletefile", false, kReply},
    {"writefile", false, kReply},
    {"directorymd5", false, kReply},
    {"update", false, kCommand},
    {"version", false, kReply},
    {"changeshell", false, kReplyOrCommand},
    {"iplist", false, kCommand},
    {"extract", false, kReplyOrCommand},
    {"status", false, kCommand},
    {"readfile", false, kStreamedReply},
    {"isfile", false, kCommand},
    {"isdir", false, kCommand},
    {"screenexec", false, kCommand},
    {"sysstats", false, kCommand},
    {"mkdir", false, kCommand},
    {"copydir", false, kCommand},
    {"copyfile", false, kCommand},
    {"downloadfile", false, kCommand},
    {"filelist", false, kCommand},
    {"filelist2", false, kCommand},
    {"openiptable", false, kCommand},
    {"closeiptable", false, kCommand},
    {"gamemonitor", false, kCommand},
    {"filesize", false, kCommand},
    {"ping", false, kCommand},
    {"checkuser", true, kReply},
    {"adduser", true, kReply},
    {"deluser", true, kReply},
    {"command", true, kCommand},
};
// clang-format on

TEST(InstructionTable, EveryRoutedNameHasItsTableAndKind) {
  initInstructions();
  std::vector<const ExpectedRoute*> chain;
  std::set<std::string> exact;
  for (const ExpectedRoute& r : kRoutes) {
    if (r.exact) {
      exact.insert(r.name);
      auto it = instruction_table.find(r.name);
      ASSERT_NE(it, instruction_table.end()) << r.name;
      EXPECT_NE(it->second.function, nullptr) << r.name;
      EXPECT_EQ(it->second.returns, r.kind == kReply) << r.name;
    } else {
      chain.push_back(&r);
    }
  }
  EXPECT_EQ(instruction_table.size(), exact.size()) << "a row in instruction_table is not listed here";

  ASSERT_EQ(instruction_chain.size(), chain.size()) << "the name chain and this list differ in length";
  for (size_t i = 0; i < chain.size(); ++i) {
    EXPECT_EQ(std::string(instruction_chain[i].name), chain[i]->name) << "position " << i;
    EXPECT_EQ(instruction_chain[i].kind, chain[i]->kind) << chain[i]->name;
    EXPECT_NE(instruction_chain[i].function, nullptr) << chain[i]->name;
    EXPECT_EQ(instruction_chain[i].streamer != nullptr, chain[i]->kind == kStreamedReply) << chain[i]->name;
  }
}

}  // namespace

namespace {

TEST(InstructionTable, RowsComposeWithoutRunningAndSettingsAreRestored) {
  const HostSystem before = settings().os;
  checkRows({
      {"linux", "command:_:echo hi", "echo hi"},
      {"freebsd", "VERSION", version, true},
      {"linux", "Command:_:-la", "Command -la"},  // not the exact row: the name runs with its argument
  });
  EXPECT_EQ(before, settings().os);
}

}  // namespace
