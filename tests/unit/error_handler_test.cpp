// The levelled log functions: one message a line on standard error in the foreground, texts
// written as they are, and Log_err, which ends the process until the agent listens and ends
// only the calling thread's work afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "HandlerHarness.h"
#include "core/ErrorHandler.h"
#include "core/Settings.h"

namespace {

// Runs `body` with standard error written to a temporary file and returns what was written.
template <typename Body>
std::string stderrOf(Body body) {
  char path[] = "/tmp/kadrel-stderr-XXXXXX";
  const int file = mkstemp(path);
  fflush(stderr);
  const int saved = dup(2);
  dup2(file, 2);
  body();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(file);
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  unlink(path);
  return text.str();
}

TEST(LevelledLog, EachMessageEndsWithOneLineFeedAndIsWrittenAsItIs) {
  WithSettings foreground(settingsFor("linux", "debug=alwayson\n"));
  const struct {
    void (*log)(const char*, ...);
    const char* fmt;
    const char* arg;
    const char* expected;
  } rows[] = {
      {Log_warn, "%s", "Received incorrect SID", "Received incorrect SID\n"},
      {Log_warn, "%s", "\nError: The 'tar' program is missing", "\nError: The 'tar' program is missing\n"},
      {Log_warn, "%s", "ends with its own\n", "ends with its own\n"},  // no second line feed
      {Log_failure, "%s", "", "\n"},
      {Log_warn, "%s", "There was a problem with exec(): 100%s %d",
       "There was a problem with exec(): 100%s %d\n"},
      {Log_failure, "Fatal Error: pthread_create() #%s", "11", "Fatal Error: pthread_create() #11\n"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(row.expected, stderrOf([&] { row.log(row.fmt, row.arg); })) << row.arg;
}

// Under the service manager standard error is the journal's stream: each line then carries its
// level, so that the journal can filter by it. Any other standard error keeps the plain lines.
TEST(LevelledLog, EachLineCarriesItsLevelWhenStandardErrorIsTheJournal) {
  WithSettings detachedWithFile(settingsFor("linux", "debug=on\n"));
  const char* saved = getenv("JOURNAL_STREAM");
  const std::string kept = saved ? saved : "";
  for (const bool journal : {true, false}) {
    const std::string written = stderrOf([&] {
      struct stat st;
      ASSERT_EQ(0, fstat(2, &st));
      const std::string stream =
          std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + (journal ? 0 : 1));
      setenv("JOURNAL_STREAM", stream.c_str(), 1);
      Log_warn("\nError: The 'tar' program is missing");
      Log_failure("first\nsecond\n");
      Log_syserr("pipe()", EMFILE);
    });
    EXPECT_EQ(
        journal
            ? "<4>Error: The 'tar' program is missing\n<3>first\n<3>second\n<3>pipe(): Too many open files\n"
            : "\nError: The 'tar' program is missing\nfirst\nsecond\npipe(): Too many open files\n",
        written);
  }
  if (saved) {
    setenv("JOURNAL_STREAM", kept.c_str(), 1);
  } else {
    unsetenv("JOURNAL_STREAM");
  }
}

TEST(LevelledLogDeathTest, LogErrEndsTheProcessBeforeTheAgentListens) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(Log_err("Can't fork"), ::testing::ExitedWithCode(1), "^Can't fork\n$");
}

TEST(LevelledLog, OnceListeningLogErrEndsOnlyTheCallingThreadsWork) {
  GuardLogErr(true);
  bool aborted = false, after = false;
  const std::string written = stderrOf([&] {
    std::thread worker([&] {
      try {
        Log_err("exeCmd(): cannot open pipe");
        after = true;  // never reached: Log_err does not return
      } catch (const WorkAborted&) {
        aborted = true;
      }
    });
    worker.join();
  });
  GuardLogErr(false);
  EXPECT_TRUE(aborted);
  EXPECT_FALSE(after);
  EXPECT_EQ(
      "exeCmd(): cannot open pipe\n"
      "The failure above ended one connection's work only; the agent goes on\n",
      written);
}

}  // namespace
