// The audit trail's lines: one per event, fields that text typed by a customer can neither
// break nor forge, and the exit status as a shell would report it.
#include "core/Audit.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(AuditLine, FieldsStayOneWordWhateverTheCustomerTyped) {
  const struct {
    InstructionAudit entry;
    const char* expected;
  } rows[] = {
      {{"10.0.0.5", "alice", "start", 14, 0, 3012},
       "audit: instruction peer=10.0.0.5 user=alice name=start reply_bytes=14 exit=0 duration_ms=3012"},
      {{"127.0.0.1", "root", "command", 0, 3 << 8, 5},
       "audit: instruction peer=127.0.0.1 user=root name=command reply_bytes=0 exit=3 duration_ms=5"},
      {{"127.0.0.1", "bob", "ServerStatus", 7, 9, 1},  // ended by SIGKILL
       "audit: instruction peer=127.0.0.1 user=bob name=ServerStatus reply_bytes=7 exit=signal:9 "
       "duration_ms=1"},
      {{"127.0.0.1", "eve\n x=1", "", 0, -1, 0},  // a command line in place of a name; nothing ran
       "audit: instruction peer=127.0.0.1 user=eve\\x0a\\x20x=1 name=(command) reply_bytes=0 exit=- "
       "duration_ms=0"},
      {{"127.0.0.1", "a\\b\"c\x7f\xc3\xa9", "version", 8, -1, 0},
       "audit: instruction peer=127.0.0.1 user=a\\x5cb\\x22c\\x7f\\xc3\\xa9 name=version reply_bytes=8 "
       "exit=- "
       "duration_ms=0"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.expected, AuditInstructionLine(row.entry));
}

}  // namespace
