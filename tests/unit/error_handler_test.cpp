// The levelled log functions: one message a line on standard error, texts written as they are,
// the journal's level marks, and Log_err ending only the calling thread's work once listening.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "TestSettings.h"
#include "core/ErrorHandler.h"

namespace {

// Under the service manager standard error is the journal's stream: each line then carries its
// level, so that the journal can filter by it. Any other standard error keeps the plain lines.
TEST(LevelledLog, EachLineCarriesItsLevelWhenStandardErrorIsTheJournal) {
  WithSettings detachedWithFile(settingsFor("linux", "debug=on\n"));
  const char* saved = getenv("JOURNAL_STREAM");
  const std::string kept = saved ? saved : "";
  for (const bool journal : {true, false}) {
    testing::internal::CaptureStderr();
    struct stat st;
    ASSERT_EQ(0, fstat(2, &st));
    const std::string stream =
        std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + (journal ? 0 : 1));
    setenv("JOURNAL_STREAM", stream.c_str(), 1);
    Log_warn("\nError: The 'tar' program is missing");
    Log_failure("first\nsecond\n");
    Log_warn("%s", "100%s %d");  // a message is written as it is
    Log_syserr("pipe()", EMFILE);
    EXPECT_EQ(journal
                  ? "<4>Error: The 'tar' program is missing\n<3>first\n<3>second\n<4>100%s %d\n<3>pipe(): "
                    "Too many open files\n"
                  : "\nError: The 'tar' program is missing\nfirst\nsecond\n100%s %d\npipe(): Too many open "
                    "files\n",
              testing::internal::GetCapturedStderr());
  }
  saved ? setenv("JOURNAL_STREAM", kept.c_str(), 1) : unsetenv("JOURNAL_STREAM");
}

TEST(LevelledLog, OnceListeningLogErrEndsOnlyTheCallingThreadsWork) {
  GuardLogErr(true);
  bool aborted = false;
  testing::internal::CaptureStderr();
  std::thread([&] {
    try {
      Log_err("exeCmd(): cannot open pipe");
    } catch (const WorkAborted&) {
      aborted = true;
    }
  }).join();
  GuardLogErr(false);
  EXPECT_TRUE(aborted);
  EXPECT_EQ(
      "exeCmd(): cannot open pipe\nThe failure above ended one connection's work only; the agent goes on\n",
      testing::internal::GetCapturedStderr());
}

}  // namespace
