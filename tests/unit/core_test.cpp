// What every connection shares: the configuration read from kadrel.ini, the levelled log (one
// message a line, texts written as they are, the journal's level marks, Log_err ending only the
// calling thread's work), the audit trail's lines, and all of it used by many threads at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSettings.h"
#include "core/Audit.h"
#include "core/ErrorHandler.h"
#include "dispatch/InstructionParser.h"

namespace {

// Keys in any case, values trimmed and ending at a second "=", a later duplicate wins, unknown
// keys are ignored; limits beyond the int range are clamped, never wrapped; a required setting of
// blanks only is missing.
TEST(Config, ReadsTrimmedSettingsAndClampsLimits) {
  std::istringstream in(
      "SERVERID=first\nserverid=\t S1 \r\nPassPhrase= a b \nDebug=one=two\nfoo=bar\n"
      "reply_timeout=99999999999999\nmax_unauthenticated=-99999999999999");
  KadrelConfig c;
  ASSERT_TRUE(ReadConfig(in, c).ok());
  EXPECT_EQ(c.serverid + "|" + c.passphrase + "|" + c.debug + "|" + std::to_string(c.reply_timeout) + "|" +
                std::to_string(c.max_unauthenticated),
            "S1|a b|one|2147483647|-2147483648");
  std::istringstream blank("serverid=S1\npassphrase= \t \ndebug=off\n");
  EXPECT_FALSE(ReadConfig(blank, c).ok());
}

// Under the service manager standard error is the journal's stream: each line then carries its
// level, so that the journal can filter by it. Any other standard error keeps the plain lines.
TEST(LevelledLog, EachLineCarriesItsLevelWhenStandardErrorIsTheJournal) {
  WithSettings debug(settingsFor("linux", "debug=on\n"));
  for (const bool journal : {true, false}) {
    testing::internal::CaptureStderr();
    struct stat st;
    ASSERT_EQ(0, fstat(2, &st));
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + !journal)).c_str(),
           1);
    Log_failure("first\nsecond\n");
    Log_warn("%s", "100%s %d");  // a message is written as it is
    EXPECT_EQ(journal ? "<3>first\n<3>second\n<4>100%s %d\n" : "first\nsecond\n100%s %d\n",
              testing::internal::GetCapturedStderr());
  }
  unsetenv("JOURNAL_STREAM");
}

TEST(LevelledLog, OnceListeningLogErrEndsOnlyTheCallingThreadsWork) {
  GuardLogErr(true);
  testing::internal::CaptureStderr();
  std::thread([] { EXPECT_THROW(Log_err("exeCmd(): cannot open pipe"), WorkAborted); }).join();
  GuardLogErr(false);
  EXPECT_EQ(
      "exeCmd(): cannot open pipe\nThe failure above ended one connection's work only; the agent goes on\n",
      testing::internal::GetCapturedStderr());
}

// A command line in place of a name, a customer's name with a line feed and blanks.
TEST(AuditLine, FieldsStayOneWordWhateverTheCustomerTyped) {
  EXPECT_EQ(
      "audit: instruction peer=127.0.0.1 user=eve\\x0a\\x20x=1\\x5c\\x22\\x7f\\xc3\\xa9 name=(command) "
      "reply_bytes=0 exit=signal:9 duration_ms=5",
      AuditInstructionLine({"127.0.0.1", "eve\n x=1\\\"\x7f\xc3\xa9", "", 0, 9, 5}));
}

// Meant above all for the thread-sanitized build (scripts/test --sanitize thread), where any
// data race fails the test; in every build, log lines stay whole and the session settings are
// read as one consistent set.
TEST(Concurrency, SettingsLoggingAndDispatchFromManyThreadsAtOnce) {
  WithSettings saved(settingsFor("linux", "debug=alwayson\n"));
  std::multiset<std::string> expected, logged, warned;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 100; ++i) expected.insert(std::to_string(t) + " " + std::to_string(i));
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) {
        std::string me = "user" + std::to_string(t), data = "version", yes = "yes";
        setSessionSettings({me, "yes", "no"});
        const SessionSettings seen = currentSessionSettings();
        EXPECT_TRUE(seen.user.rfind("user", 0) == 0 && seen.expectreturn == "yes" &&
                    seen.closesocket == "no");
        Log("line " + std::to_string(t) + " " + std::to_string(i));
        Log_warn("warning %d %d", t, i);
        EXPECT_EQ(InstructionParser(data, me, yes), KADREL_VERSION);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  // Every line arrives once and whole, whatever the order.
  std::istringstream out(testing::internal::GetCapturedStdout()), err(testing::internal::GetCapturedStderr());
  for (std::string line; std::getline(out, line);)
    if (line.rfind("line ", 0) == 0) logged.insert(line.substr(5));
  for (std::string line; std::getline(err, line);)
    if (line.rfind("warning ", 0) == 0) warned.insert(line.substr(8));
  EXPECT_EQ(logged, expected);
  EXPECT_EQ(warned, expected);
}

}  // namespace
